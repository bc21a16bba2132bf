#pragma once
// ImgLst: the small pictures of the client tree, numbered 1 to 6 as the tree nodes refer to
// them. They are drawn in code so that they stay sharp and need no image files.

#include <QIcon>
#include <QPixmap>

// The numbers the tree uses for its pictures.
enum class ImgLstPicture : int {
    Computer = 1,  // a computer on the network: the client itself
    Adapter = 2,   // a network adapter card: the client's private IP address
    Hourglass = 3, // the expiration time
    Stopwatch = 4, // the last contact
    Keys = 5,      // the authorisation state
    Check = 6,     // an authorised, working client
};

inline constexpr int kImgLstCount = 6;
inline constexpr int kImgLstSize = 16;

// The 16x16 picture numbered `number` (1 to 6); a null pixmap for any other number.
QPixmap imgLstPixmap(int number);

// The same picture as an icon; a null icon for any other number.
QIcon ImgLst(int number);
