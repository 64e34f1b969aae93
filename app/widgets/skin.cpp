#include <widgets/skin.h>

#include <QCoreApplication>

namespace zr {

namespace {
QString& Root()
{
    static QString root = [] {
        QString dir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
        return dir + "/";
    }();
    return root;
}
} // namespace

const QString& ImageRoot() { return Root(); }

void SetImageRoot(const QString& root) { Root() = root.endsWith('/') ? root : root + "/"; }

QString ResolveImage(const QString& relative) { return ImageRoot() + relative; }

ZrImage LoadSkinImage(const QString& relative)
{
    ZrImage image;
    image.Load(ResolveImage(relative));
    return image;
}

} // namespace zr
