#include <resources/app_resources.h>

namespace zr {

QIcon LoadAppIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/salvor/salvor.png"), QSize(48, 48));
    icon.addFile(QStringLiteral(":/salvor/salvor16.png"), QSize(16, 16));
    return icon;
}

QImage LoadResourceBitmap(int id)
{
    if (id == IDB_TREE_NODES)
        return QImage(QStringLiteral(":/salvor/treenodes.bmp")).convertToFormat(QImage::Format_RGB888);
    return QImage();
}

} // namespace zr
