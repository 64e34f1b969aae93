#include <progress/progress_dlg.h>

#include <salvor/scan/drivers.h>
#include <shell/msgbox.h>
#include <widgets/font_pool.h>
#include <widgets/skin.h>

#include <QEventLoop>
#include <QFontMetrics>
#include <QPainter>
#include <QProgressBar>
#include <QThread>

#include <algorithm>
#include <system_error>

namespace salvor {

namespace {

    // The background's size when its file is missing: the bar and the status
    // line stay on show instead of a window of no size.
    constexpr int kFallbackWidth = 500;
    constexpr int kFallbackHeight = 175;

    constexpr int kAnimationLeft = 10;
    constexpr int kAnimationTop = 70;

} // namespace

CProgressDlg::CProgressDlg(MainHost& host)
    : zr::ZrDialog(IDD_PROGRESS)
    , m_host(host)
{
}

CProgressDlg::~CProgressDlg()
{
    // Run never returns with a worker alive; this only guards a dialog left
    // by an exception between the start of the worker and the end of Run.
    if (m_worker.joinable()) {
        m_stop = true;
        Resume();
        if (IsScanKind(m_kind))
            RequestScanStop();
        WaitForWorker();
    }
}

int CProgressDlg::Run(QWidget* owner, ProgressKind kind)
{
    if (m_worker.joinable() || m_worker_done)
        return 1; // one job per dialog
    m_kind = kind;
    RunModal(owner);
    KillTimer(IDT_PROGRESS_POLL);
    KillTimer(IDT_ANIMATION);
    WaitForWorker();
    if (!m_scan_failure.empty())
        zr::ShowMessageBox(owner, zr::MSGBOX_ERROR, zr::MSGBOX_OK,
            QString::fromStdString("Scanning failed: " + m_scan_failure), QString());
    return 1;
}

bool CProgressDlg::OnInitDialog()
{
    m_background.Load(zr::ResolveImage(zr::skin::kBoxBg));
    m_strip.Load(zr::ResolveImage(zr::skin::kScanAnimation));
    const int frame_width = m_strip.Width() / zr::skin::kScanAnimationFrames;
    m_anim_rect = { kAnimationLeft, kAnimationTop, kAnimationLeft + frame_width, kAnimationTop + m_strip.Height() };

    const int bg_width = m_background.Loaded() ? m_background.Width() : kFallbackWidth;
    const int bg_height = m_background.Loaded() ? m_background.Height() : kFallbackHeight;
    move(0, 0);
    SetClientSize(bg_width, bg_height);
    CenterOver(Owner());
    m_client = { 0, 0, ClientWidth(), ClientHeight() };
    SetRoundedRegion(m_client.width() + 1, m_client.height() + 1, 5);

    m_close.SetImage(zr::ResolveImage(zr::skin::kClose), true);
    m_close.Attach(this, IDC_PROGRESS_CLOSE);
    m_close.Place(m_client.width() - 40, 5);
    m_stop_button.SetImage(zr::ResolveImage(zr::skin::kStop), true);
    m_stop_button.Attach(this, IDC_PROGRESS_STOP);
    m_stop_button.Place(200, 125);
    m_widgets.Clear();
    m_widgets.Add(&m_close);
    m_widgets.Add(&m_stop_button);
    MapCommand(IDC_PROGRESS_CLOSE, [this] { ConfirmStop(); });
    MapCommand(IDC_PROGRESS_STOP, [this] { ConfirmStop(); });

    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("progress_1004"));
    m_bar->setTextVisible(false);
    MapMessage(PBM_SETRANGE, [this](zr::WPARAM, zr::LPARAM lp) -> zr::LRESULT {
        m_bar->setRange(int(lp & 0xFFFF), int((lp >> 16) & 0xFFFF));
        return 1;
    });
    MapMessage(PBM_SETPOS, [this](zr::WPARAM wp, zr::LPARAM) -> zr::LRESULT {
        const int old = m_bar->value();
        m_bar->setValue(int(wp));
        return old;
    });
    MapMessage(PBM_GETPOS, [this](zr::WPARAM, zr::LPARAM) -> zr::LRESULT { return m_bar->value(); });
    SendMessage(PBM_SETRANGE, 0, zr::LPARAM(100) << 16);
    SendMessage(PBM_SETPOS, 0, 0);
    m_bar->setGeometry(80, 80, 380, 20);
    m_bar->show();

    m_status_rect = { 80, 55, bg_width - 10, 73 };
    {
        std::lock_guard lock(m_status_mutex);
        m_status = QString::fromLatin1(IsRecoveryKind(m_kind) ? kRecoveringText : kScanningText);
    }

    if (IsScanKind(m_kind)) {
        const ScanSession& session = m_host.Session();
        const int code = session.volume ? session.volume->fs_code : int(session.fs_code);
        m_driver_moves_bar = m_host.Mode() == kModeDeleted && code == BG_FS_EXT3;
        // A new job starts from 0 and without the stop of an earlier one.
        bg_progress.store(0);
        bg_request_stop(0);
        SetTimer(IDT_PROGRESS_POLL, kPollPeriodMs);
        SetTimer(IDT_ANIMATION, kAnimationPeriodMs);
    } else if (IsRecoveryKind(m_kind)) {
        SetTimer(IDT_ANIMATION, kAnimationPeriodMs);
    }
    if (!(IsScanKind(m_kind) || IsRecoveryKind(m_kind)) || !StartWorker()) {
        // No worker: nothing would ever end the dialog.
        KillTimer(IDT_PROGRESS_POLL);
        KillTimer(IDT_ANIMATION);
        EndDialog(1);
    }
    return true;
}

bool CProgressDlg::StartWorker()
{
    try {
        m_worker = std::thread([this] { WorkerMain(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CProgressDlg::WorkerMain()
{
    try {
        if (IsScanKind(m_kind)) {
            RunScanJob();
            // An engine that gave up before reporting its end must not leave
            // the dialog waiting: the scan is over when its worker returns.
            SetProgress(100);
        } else {
            RunRecoveryJob();
        }
    } catch (...) {
        // Nothing crosses the thread's entry; the dialog still ends.
        if (IsScanKind(m_kind)) {
            SetProgress(100);
        } else if (ClaimFinish()) {
            EndDialog(1);
            m_host.Window().PostMessage(UM_RECOVERY_DONE, 0, 0);
        }
    }
    m_worker_done = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_wait_loop)
                m_wait_loop->quit();
        },
        Qt::QueuedConnection);
}

void CProgressDlg::RunScanJob()
{
    ScanSession& session = m_host.Session();
    int result = 0;
    switch (m_kind) {
    case kProgressRawScan:
        result = RunRawScan(session, *this);
        break;
    case kProgressDeletedScan:
        result = RunDeletedScan(session, m_host.Loading(), *this);
        break;
    case kProgressFormatScan:
        result = RunFormatScan(session, m_host.Loading(), *this);
        break;
    case kProgressPartitionSearch:
        m_host.RunPartitionSearch(*this);
        return;
    default:
        return;
    }
    // A scan the user stopped is not a failure, whatever the engine says.
    if (m_stop)
        return;
    if (!session.failure.empty())
        m_scan_failure = session.failure;
    else if (result < 0 && m_kind != kProgressRawScan)
        m_scan_failure = "this file system cannot be scanned in this mode";
}

void CProgressDlg::RunRecoveryJob()
{
    ScanSession& session = m_host.Session();
    ResultTree& tree = session.tree;
    RecoveryJob job(session, *this);
    job.target = m_host.TargetFolder();
    const NodeId current = session.current_folder;
    switch (m_kind) {
    case kProgressNtfsRecovery:
    case kProgressFatRecovery: {
        // The tree pass unchecks what it takes, so the current folder is
        // looked at first: when it was checked its files went with it.
        const bool current_unchecked = tree.CheckState(current) == kUnchecked;
        RecoverCheckedNodes(job);
        if (current_unchecked && !StopRequested())
            RecoverCheckedRows(job);
        break;
    }
    case kProgressExt2Recovery:
    case kProgressExt3Recovery:
    case kProgressHfsRecovery:
        RecoverCheckedNodes(job);
        if (!StopRequested())
            RecoverCheckedRows(job);
        break;
    case kProgressRawRecovery:
        RecoverRawCategories(job);
        if (!StopRequested() && current && tree.CheckState(current) == kUnchecked && !tree.FirstChild(current))
            RecoverRawRows(job);
        break;
    default:
        break;
    }
    m_recovery = job.stats;
    if (!ClaimFinish())
        return; // the user stopped it: the dialog has ended and said so
    if (m_kind == kProgressRawRecovery)
        KillTimer(IDT_ANIMATION);
    EndDialog(1);
    m_host.Window().SendMessage(UM_RECOVERY_DONE, 1, 0);
}

void CProgressDlg::SetProgress(int percent)
{
    WaitWhilePaused();
    percent = std::clamp(percent, 0, 100);
    int current = m_percent.load();
    do {
        if (current == percent || current == 100)
            return;
    } while (!m_percent.compare_exchange_weak(current, percent));
    MoveBar(percent);
}

void CProgressDlg::MoveBar(int position) { SendMessage(PBM_SETPOS, zr::WPARAM(position), 0); }

int CProgressDlg::BarPosition() const { return m_bar ? m_bar->value() : 0; }

void CProgressDlg::SetStatusText(const std::string& text)
{
    WaitWhilePaused();
    {
        std::lock_guard lock(m_status_mutex);
        m_status = QString::fromStdString(text);
    }
    Invalidate(m_status_rect, false);
}

QString CProgressDlg::StatusText() const
{
    std::lock_guard lock(m_status_mutex);
    return m_status;
}

bool CProgressDlg::StopRequested() const
{
    WaitWhilePaused();
    return m_stop.load();
}

void CProgressDlg::WaitWhilePaused() const
{
    // The user-interface thread itself never waits here: it is the one that
    // lifts the pause.
    if (!m_paused.load() || QThread::currentThread() == thread())
        return;
    std::unique_lock lock(m_gate_mutex);
    if (!m_paused)
        return;
    m_gate_waiting = true;
    m_gate_cv.wait(lock, [this] { return !m_paused; });
    m_gate_waiting = false;
}

void CProgressDlg::Pause()
{
    std::lock_guard lock(m_gate_mutex);
    m_paused = true;
}

void CProgressDlg::Resume()
{
    {
        std::lock_guard lock(m_gate_mutex);
        m_paused = false;
    }
    m_gate_cv.notify_all();
}

bool CProgressDlg::ClaimFinish()
{
    std::unique_lock lock(m_gate_mutex);
    m_gate_cv.wait(lock, [this] { return !m_paused; });
    Outcome expected = Outcome::kRunning;
    return m_outcome.compare_exchange_strong(expected, Outcome::kFinished);
}

void CProgressDlg::WaitForWorker()
{
    if (!m_worker.joinable())
        return;
    if (!m_worker_done) {
        // The worker may still be inside a blocking call onto this thread (a
        // view update, the bar, UM_RECOVERY_DONE): keep serving them, but
        // take no user input while the dialog is gone.
        QEventLoop loop;
        m_wait_loop = &loop;
        if (!m_worker_done)
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        m_wait_loop = nullptr;
    }
    m_worker.join();
}

void CProgressDlg::ConfirmStop()
{
    if (m_asking || Ended() || !m_worker.joinable())
        return;
    const bool scan = IsScanKind(m_kind);
    {
        std::lock_guard lock(m_gate_mutex);
        // A recovery that has just finished is not stopped any more.
        if (!scan && m_outcome.load() != Outcome::kRunning)
            return;
        m_paused = true;
    }
    m_asking = true;
    const int answer = zr::ShowMessageBox(this, zr::MSGBOX_WARNING, zr::MSGBOX_YES | zr::MSGBOX_NO,
        QString::fromLatin1(scan ? kStopScanQuestion : kStopRecoveryQuestion), QString::fromLatin1(kStopCaption));
    m_asking = false;
    const bool yes = answer == zr::IDC_MSGBOX_YES;
    if (scan) {
        if (yes) {
            // The engines end at their next step and keep what they found;
            // the next poll tick sees 100 with the bar elsewhere.
            m_stop = true;
            RequestScanStop();
            m_percent.store(100);
        }
        Resume();
        return;
    }
    if (!yes) {
        Resume();
        return;
    }
    m_outcome = Outcome::kStopped;
    m_stop = true;
    // The passes end before their next file (the one being written is
    // removed); Run waits for them before anything is freed.
    Resume();
    m_host.Window().PostMessage(UM_RECOVERY_DONE, 0, 0);
    KillTimer(IDT_ANIMATION);
    EndDialog(1);
}

void CProgressDlg::OnTimer(int id)
{
    if (id == IDT_ANIMATION) {
        m_frame = (m_frame + 1) % zr::skin::kScanAnimationFrames;
        Invalidate(m_anim_rect, false);
        return;
    }
    if (id == IDT_PROGRESS_POLL)
        PollTick();
}

void CProgressDlg::PollTick()
{
    ++m_poll_ticks;
    // Nothing ends under the stop question.
    if (m_asking || Ended())
        return;
    if (!m_driver_moves_bar) {
        const int shared = bg_get_progress();
        int current = m_percent.load();
        if (shared != current && current != 100 && m_percent.compare_exchange_strong(current, shared))
            MoveBar(shared);
    }
    if (m_percent.load() < 100)
        return;
    // A bar short of the percent means the user stopped the scan: the stop
    // has been requested and the worker finishes with what was found.
    if (BarPosition() == 100)
        bg_progress_done();
    KillTimer(IDT_PROGRESS_POLL);
    KillTimer(IDT_ANIMATION);
    EndDialog(1);
}

void CProgressDlg::OnPaint(QPainter& p)
{
    const QRect client(0, 0, ClientWidth(), ClientHeight());
    if (!m_background.Draw(p, client))
        p.fillRect(client, Qt::white);
    // Frames are 54 pixels apart in the strip, whatever its width.
    m_strip.DrawPart(p, kAnimationLeft, kAnimationTop, m_frame * zr::skin::kScanAnimationStep, 0,
        m_strip.Width() / zr::skin::kScanAnimationFrames, m_strip.Height());
    if (const QFont* font = zr::ZrFontPool::Font(zr::ZrFontPool::kStatus))
        p.setFont(*font);
    p.setPen(Qt::black);
    const QRect r(m_status_rect.left, m_status_rect.top, m_status_rect.width(), m_status_rect.height());
    const QString text = QFontMetrics(p.font()).elidedText(StatusText(), Qt::ElideRight, std::max(0, r.width()));
    p.drawText(r, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    m_widgets.DrawAll(p);
}

void CProgressDlg::OnLButtonDown(uint32_t flags, zr::LPARAM pt)
{
    if (!m_close.HitTest(zr::PointX(pt), zr::PointY(pt)) && !m_stop_button.HitTest(zr::PointX(pt), zr::PointY(pt))) {
        BeginDrag();
        return;
    }
    m_widgets.ButtonDown(flags, pt);
}

void CProgressDlg::OnLButtonUp(uint32_t flags, zr::LPARAM pt) { m_widgets.ButtonUp(flags, pt); }

void CProgressDlg::OnLButtonDblClk(uint32_t flags, zr::LPARAM pt) { m_widgets.DoubleClick(flags, pt); }

void CProgressDlg::OnMouseMove(uint32_t flags, zr::LPARAM pt) { m_widgets.MouseMove(flags, pt); }

} // namespace salvor
