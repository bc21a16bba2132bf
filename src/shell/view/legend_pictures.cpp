#include "shell/view/legend_pictures.h"

#include "shell/view/image_list.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStringList>
#include <array>

namespace {

constexpr qreal kLargestPointSize = 8.0;
constexpr qreal kSmallestPointSize = 6.0;

// The counters' look in the main window: bold green figures on grey.
const QColor kCounterText(0x00, 0x80, 0x00);
const QColor kCounterBack(0xC0, 0xC0, 0xC0);
const QColor kShadow(0x80, 0x80, 0x80);

struct CounterRow {
    const char* caption;
    const char* meaning;
};

constexpr std::array<CounterRow, 5> kCounterRows{{
    {"Clients:", "# of clients"},
    {"Counter:", "Sales Page"},
    {"Socks:", "TCP Socks"},
    {"Up:", "Uploaded"},
    {"Down:", "Downloaded"},
}};

struct TreeRow {
    int picture;
    const char* label;
};

constexpr TreeRow kTreeRoot{static_cast<int>(ImgLstPicture::Computer), "Client MAC Number"};
constexpr std::array<TreeRow, 4> kTreeChildren{{
    {static_cast<int>(ImgLstPicture::Adapter), "Private IP address"},
    {static_cast<int>(ImgLstPicture::Stopwatch), "Last contact"},
    {static_cast<int>(ImgLstPicture::Hourglass), "Expiration"},
    {static_cast<int>(ImgLstPicture::Keys), "Authorization"},
}};

QPixmap transparentPixmap(QSize size) {
    QPixmap picture(size);
    picture.fill(Qt::transparent);
    return picture;
}

// The largest font from kLargestPointSize down that lets `fits` accept its metrics, so the
// pictures keep their fixed size whatever fonts the system has.
template <typename Fits> QFont fittingFont(const QPaintDevice* device, bool bold, Fits fits) {
    QFont font = QApplication::font();
    font.setBold(bold);
    for (qreal size = kLargestPointSize; size >= kSmallestPointSize; size -= 0.5) {
        font.setPointSizeF(size);
        if (fits(QFontMetrics(font, device)))
            return font;
    }
    font.setPointSizeF(kSmallestPointSize);
    return font;
}

// A sunken 3D edge, as the counters and the tree control have.
void drawSunkenEdge(QPainter& p, const QRect& r) {
    p.setPen(kShadow);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(Qt::white);
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
}

// Tree control connector lines: every other pixel, as the classic tree view draws them.
void drawDottedHorizontal(QPainter& p, int x1, int x2, int y) {
    for (int x = x1; x <= x2; x += 2)
        p.drawPoint(x, y);
}

void drawDottedVertical(QPainter& p, int x, int y1, int y2) {
    for (int y = y1; y <= y2; y += 2)
        p.drawPoint(x, y);
}

} // namespace

QPixmap legendCountersPixmap() {
    constexpr int kBoxHeight = 19;
    constexpr int kGap = 4;
    constexpr int kTextPadding = 3;

    QPixmap picture = transparentPixmap(kLegendCountersSize);
    const int width = kLegendCountersSize.width();

    const QFont captionFont = fittingFont(
        &picture, false, [](const QFontMetrics& m) { return m.height() <= kBoxHeight; });
    const QFontMetrics captionMetrics(captionFont, &picture);
    int captionWidth = 0;
    for (const CounterRow& row : kCounterRows)
        captionWidth = std::max(captionWidth, captionMetrics.horizontalAdvance(row.caption));
    const QRect box(captionWidth + kGap, 0, width - captionWidth - kGap, kBoxHeight);

    const QFont valueFont = fittingFont(&picture, true, [&](const QFontMetrics& m) {
        if (m.height() > kBoxHeight - 2)
            return false;
        for (const CounterRow& row : kCounterRows) {
            if (m.horizontalAdvance(row.meaning) > box.width() - 2 * kTextPadding)
                return false;
        }
        return true;
    });

    QPainter p(&picture);
    const int rows = static_cast<int>(kCounterRows.size());
    const int pitch = kLegendCountersSize.height() / rows;
    const int top = (kLegendCountersSize.height() - pitch * (rows - 1) - kBoxHeight) / 2;
    for (int i = 0; i < rows; ++i) {
        const CounterRow& row = kCounterRows[static_cast<size_t>(i)];
        const QRect rowBox = box.translated(0, top + i * pitch);

        p.setFont(captionFont);
        p.setPen(Qt::black);
        p.drawText(QRect(0, rowBox.top(), captionWidth, rowBox.height()),
                   Qt::AlignRight | Qt::AlignVCenter, row.caption);

        p.fillRect(rowBox, kCounterBack);
        drawSunkenEdge(p, rowBox);
        p.setFont(valueFont);
        p.setPen(kCounterText);
        p.drawText(rowBox.adjusted(kTextPadding, 1, -kTextPadding, -1), Qt::AlignCenter,
                   row.meaning);
    }
    return picture;
}

// The expander of an opened node: a box with a minus sign.
static void drawOpenExpander(QPainter& p, const QRect& box) {
    p.setPen(kShadow);
    p.setBrush(Qt::white);
    p.drawRect(box);
    p.setPen(Qt::black);
    p.drawLine(box.left() + 2, box.center().y(), box.right() - 2, box.center().y());
}

QPixmap legendTreePixmap() {
    constexpr int kRowHeight = 17;
    constexpr int kExpanderX = 5;      // left edge of the 9x9 expander box
    constexpr int kRootPictureX = 17;  // root picture, right of the expander
    constexpr int kChildPictureX = 38; // children's pictures, one indent further
    constexpr int kPictureTextGap = 3;
    constexpr int kRightMargin = 3;

    QPixmap picture(kLegendTreeSize);
    picture.fill(Qt::white);
    const int width = kLegendTreeSize.width();
    const int height = kLegendTreeSize.height();
    const int rows = 1 + static_cast<int>(kTreeChildren.size());
    const int top = (height - rows * kRowHeight) / 2;

    QStringList labels{QString::fromLatin1(kTreeRoot.label)};
    for (const TreeRow& child : kTreeChildren)
        labels << QString::fromLatin1(child.label);
    const QFont font = fittingFont(&picture, false, [&](const QFontMetrics& m) {
        if (m.height() > kRowHeight)
            return false;
        for (const QString& label : labels) {
            if (kChildPictureX + kImgLstSize + kPictureTextGap + m.horizontalAdvance(label) >
                width - kRightMargin)
                return false;
        }
        return true;
    });

    QPainter p(&picture);
    drawSunkenEdge(p, picture.rect().adjusted(0, 0, -1, -1));
    p.setFont(font);

    auto rowTop = [&](int row) { return top + row * kRowHeight; };
    auto rowMiddle = [&](int row) { return rowTop(row) + kRowHeight / 2; };

    // Connector lines first, so the pictures sit on top of their ends.
    p.setPen(kShadow);
    const int trunkX = kRootPictureX + kImgLstSize / 2;
    drawDottedVertical(p, trunkX, rowTop(0) + kImgLstSize + 1, rowMiddle(rows - 1));
    for (int row = 1; row < rows; ++row)
        drawDottedHorizontal(p, trunkX, kChildPictureX - 2, rowMiddle(row));
    drawDottedHorizontal(p, kExpanderX + 9, kRootPictureX - 2, rowMiddle(0));

    drawOpenExpander(p, QRect(kExpanderX, rowMiddle(0) - 4, 8, 8));

    auto drawEntry = [&](int row, int x, const TreeRow& entry) {
        const int pictureTop = rowTop(row) + (kRowHeight - kImgLstSize) / 2;
        p.drawPixmap(x, pictureTop, imgLstPixmap(entry.picture));
        const int textX = x + kImgLstSize + kPictureTextGap;
        p.setPen(Qt::black);
        p.drawText(QRect(textX, rowTop(row), width - kRightMargin - textX, kRowHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(entry.label));
    };
    drawEntry(0, kRootPictureX, kTreeRoot);
    for (int i = 0; i < static_cast<int>(kTreeChildren.size()); ++i)
        drawEntry(i + 1, kChildPictureX, kTreeChildren[static_cast<size_t>(i)]);
    return picture;
}
