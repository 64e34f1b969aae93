// The progress dialog: the small skinned box that runs every long job (a
// scan, the partition search, a recovery) on one worker thread and shows a
// bar, an animation, a status line and the close and stop buttons.
//
// The worker reaches the result views only through the main dialog's
// interfaces; the views marshal their calls onto the user-interface thread.
// A stop is cooperative: while the question is on screen the worker waits at
// a pause gate (passed in every call it makes on this dialog as its
// ProgressSink), and a confirmed stop is a flag the scan engines and the
// recovery passes look at between steps and between files.
#pragma once

#include <host/main_host.h>
#include <platform/zr_dialog.h>
#include <platform/zr_image.h>
#include <salvor/recovery/recovery.h>
#include <widgets/zr_widgets.h>

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class QEventLoop;
class QProgressBar;

namespace salvor {

constexpr int IDD_PROGRESS = 130;
constexpr int IDC_PROGRESS_BAR = 1004;
constexpr int IDC_PROGRESS_CLOSE = 6000;
constexpr int IDC_PROGRESS_STOP = 6021;

constexpr int IDT_PROGRESS_POLL = 1;
constexpr int IDT_ANIMATION = 2;
constexpr int kPollPeriodMs = 50;
constexpr int kAnimationPeriodMs = 100;

// Messages of the progress bar control.
constexpr uint32_t PBM_SETRANGE = zr::WM_USER + 1; // 1025: lParam high word = maximum
constexpr uint32_t PBM_SETPOS = zr::WM_USER + 2; // 1026: wParam = position
constexpr uint32_t PBM_GETPOS = zr::WM_USER + 8; // 1032

inline const char* const kScanningText = "Scanning,please wait...";
inline const char* const kRecoveringText = "Recovering: ";
inline const char* const kStopScanQuestion = "Are you sure to stop the scanning?";
inline const char* const kStopRecoveryQuestion = "Are you sure to stop the recovery?";
inline const char* const kStopCaption = "note";

class CProgressDlg : public zr::ZrDialog, public ProgressSink {
public:
    explicit CProgressDlg(MainHost& host);
    ~CProgressDlg() override;

    // Runs the dialog modally with a job. Returns 1 once the dialog has ended
    // and its worker thread has returned; until then the user-interface
    // thread keeps serving the worker's calls.
    int Run(QWidget* owner, ProgressKind kind);

    // ProgressSink, called by the worker. A percent equal to the current one,
    // or any percent once the current one is 100, changes nothing; otherwise
    // the bar moves to it.
    void SetProgress(int percent) override;
    void SetStatusText(const std::string& text) override;
    bool StopRequested() const override;

    int Percent() const { return m_percent.load(); }
    int BarPosition() const;
    int Kind() const { return m_kind; }
    int AnimationFrame() const { return m_frame; }
    QString StatusText() const;
    bool StoppedByUser() const { return m_stop.load(); }
    // Whether the worker is waiting at the pause gate.
    bool WorkerPaused() const { return m_gate_waiting.load(); }
    bool WorkerReturned() const { return m_worker_done.load(); }
    // Poll ticks since set-up (to see what one tick does).
    int PollTicks() const { return m_poll_ticks.load(); }
    // What the last recovery did (after Run).
    const RecoveryStats& LastRecovery() const { return m_recovery; }
    // Why the last scan could not read its volume ("" when it could, or when
    // the user stopped it). Run has shown it in a message box.
    const std::string& ScanFailure() const { return m_scan_failure; }

    const zr::ZrRect& AnimationRect() const { return m_anim_rect; }
    const zr::ZrRect& StatusRect() const { return m_status_rect; }
    zr::CZrduiBtn& CloseButton() { return m_close; }
    zr::CZrduiBtn& StopButton() { return m_stop_button; }
    QProgressBar* Bar() const { return m_bar; }

protected:
    bool OnInitDialog() override;
    void OnPaint(QPainter& p) override;
    void OnTimer(int id) override;
    void OnLButtonDown(uint32_t flags, zr::LPARAM pt) override;
    void OnLButtonUp(uint32_t flags, zr::LPARAM pt) override;
    void OnLButtonDblClk(uint32_t flags, zr::LPARAM pt) override;
    void OnMouseMove(uint32_t flags, zr::LPARAM pt) override;

private:
    enum class Outcome { kRunning, kFinished, kStopped };

    void ConfirmStop();
    void PollTick();
    bool StartWorker();
    void WorkerMain();
    void RunScanJob();
    void RunRecoveryJob();
    void MoveBar(int position);
    // The pause gate: waits while the stop question is on screen.
    void WaitWhilePaused() const;
    void Pause();
    void Resume();
    // Claims the end of a recovery for the worker (false: the user stopped it).
    bool ClaimFinish();
    void WaitForWorker();

    MainHost& m_host;
    std::thread m_worker;
    zr::ZrImage m_background;
    zr::ZrImage m_strip;
    int m_frame = 0;
    zr::ZrRect m_anim_rect;
    zr::ZrRect m_client;
    zr::CZrduiBtn m_close;
    zr::CZrduiBtn m_stop_button;
    zr::ZrWidgetList m_widgets;
    mutable std::mutex m_status_mutex;
    QString m_status;
    zr::ZrRect m_status_rect;
    std::atomic<int> m_percent { 0 };
    QProgressBar* m_bar = nullptr;
    int m_kind = kProgressDeletedScan;
    // A deleted-file scan of an ext3 volume moves the bar itself.
    bool m_driver_moves_bar = false;

    std::atomic<bool> m_stop { false };
    std::atomic<Outcome> m_outcome { Outcome::kRunning };
    std::atomic<bool> m_worker_done { false };
    std::atomic<int> m_poll_ticks { 0 };
    bool m_asking = false;
    QEventLoop* m_wait_loop = nullptr;

    mutable std::mutex m_gate_mutex;
    mutable std::condition_variable m_gate_cv;
    // Written under the mutex; read without it on the worker's fast path.
    std::atomic<bool> m_paused { false };
    mutable std::atomic<bool> m_gate_waiting { false };

    RecoveryStats m_recovery;
    std::string m_scan_failure;
};

} // namespace salvor
