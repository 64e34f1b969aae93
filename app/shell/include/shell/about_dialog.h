// The about dialog opened from the main window's menu.
#pragma once

#include <platform/zr_dialog.h>
#include <resources/app_resources.h>
#include <platform/zr_image.h>
#include <widgets/zr_widgets.h>

namespace zr {

constexpr int IDC_ABOUT_CLOSE = 122;
constexpr int IDC_ABOUT_OK = 123;

class CAboutDialog : public ZrDialog {
public:
    static constexpr ZrRect kCloseArea{120, 80, 200, 96};
    static constexpr ZrRect kTextRect{40, 100, 365, 116};

    explicit CAboutDialog(ZrDialog* main_dialog);
    ~CAboutDialog() override = default;

    // Runs the dialog modally; always returns 1.
    int Run(QWidget* owner);

    CZrduiBtn& CloseButton() { return m_close; }
    CZrduiBtn& OkButton() { return m_ok; }
    ZrDialog* MainDialog() const { return m_main; }
    static QString AboutText();

protected:
    bool OnInitDialog() override;
    void OnPaint(QPainter& p) override;
    void OnCommand(int id) override;
    void OnLButtonDown(uint32_t flags, LPARAM pt) override;
    void OnLButtonUp(uint32_t flags, LPARAM pt) override;
    void OnLButtonDblClk(uint32_t flags, LPARAM pt) override;
    void OnMouseMove(uint32_t flags, LPARAM pt) override;

private:
    ZrImage m_background;
    CZrduiBtn m_close;
    CZrduiBtn m_ok;
    ZrDialog* m_main = nullptr;
};

} // namespace zr
