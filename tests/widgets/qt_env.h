// A QApplication on Qt's offscreen platform for the widget tests, plus a
// small dialog that records the commands its widgets send.
#pragma once

#include <platform/zr_dialog.h>
#include <widgets/zr_widgets.h>

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

#include <vector>

namespace salvor_test {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "salvor_widget_tests";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            m_app = new QApplication(argc, argv);
    }
    void TearDown() override
    {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication* m_app = nullptr;
};

// A parent for widgets under test: an 800 x 600 client area, widgets drawn
// from a list, every WM_COMMAND recorded.
class RecordingDialog : public zr::ZrDialog {
public:
    RecordingDialog(int w = 800, int h = 600) : zr::ZrDialog(999) { SetClientSize(w, h); }

    std::vector<int> commands;
    zr::ZrWidgetList widgets;

protected:
    void OnCommand(int id) override { commands.push_back(id); }
    void OnPaint(QPainter& p) override
    {
        p.fillRect(0, 0, ClientWidth(), ClientHeight(), Qt::white);
        widgets.DrawAll(p);
    }
};

inline zr::LPARAM Pt(int x, int y) { return zr::MakePoint(x, y); }

// Sends a real mouse event through Qt to a dialog, at client point (x, y).
inline void SendMouse(QWidget* w, QEvent::Type type, int x, int y, Qt::MouseButtons buttons = Qt::NoButton)
{
    const QPointF local(x, y);
    const QPointF global = w->mapToGlobal(local);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, global, button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

inline void Click(QWidget* w, int x, int y)
{
    SendMouse(w, QEvent::MouseMove, x, y);
    SendMouse(w, QEvent::MouseButtonPress, x, y, Qt::LeftButton);
    SendMouse(w, QEvent::MouseButtonRelease, x, y, Qt::NoButton);
}

// Counts pixels of the rectangle within `tolerance` of colour c.
inline int CountColour(const QImage& img, const QRect& r, QRgb c, int tolerance = 12)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            if (!img.valid(x, y))
                continue;
            const QRgb p = img.pixel(x, y);
            if (std::abs(qRed(p) - qRed(c)) <= tolerance && std::abs(qGreen(p) - qGreen(c)) <= tolerance &&
                std::abs(qBlue(p) - qBlue(c)) <= tolerance)
                ++n;
        }
    return n;
}

} // namespace salvor_test
