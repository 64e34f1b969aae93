// Resources built into the salvor executable: the dialog template ids, the
// window icon and the node images of the result tree.
#pragma once

#include <QIcon>
#include <QImage>

namespace zr {

// Dialog templates.
constexpr int IDD_ABOUT = 100;
constexpr int IDD_MSGBOX = 101;
constexpr int IDD_MAIN = 129;
constexpr int IDD_PROGRESS = 130;

// Icon and bitmap resources.
constexpr int IDI_SALVOR = 128;
constexpr int IDB_TREE_NODES = 201;
constexpr int kTreeNodeSize = 16;

// The window icon in its big (48) and small (16) sizes.
QIcon LoadAppIcon();
// A bitmap resource by id; a null image for an unknown id.
QImage LoadResourceBitmap(int id);

} // namespace zr
