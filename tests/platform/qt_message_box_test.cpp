// Operator messages without a display: written to standard error and answered by the event
// loop, never inside the call that showed them.

#include "platform/widgets/qt_message_box.h"
#include "support/wait.h"

#include <gtest/gtest.h>

TEST(QtMessageBoxHeadless, MessageGoesToStandardErrorAndIsAnsweredLater) {
    QtMessageBox messages;
    bool answered = false;
    testing::internal::CaptureStderr();
    messages.inform(QStringLiteral("Tarnix Gateway"), QStringLiteral("first\r\nsecond"),
                    [&] { answered = true; });
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, "Tarnix Gateway: first\nsecond\n");
    EXPECT_FALSE(answered); // the caller finishes its own work first
    EXPECT_TRUE(waitUntil([&] { return answered; }, 2000));
}
