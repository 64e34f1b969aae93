// salvor: the desktop program. One copy per user runs at a time; the main
// window's modal run is the whole of the program, and its result is the
// exit code.
#include <core/main_dlg.h>

#include <blockgate/blockgate.h>
#include <shell/msgbox.h>
#include <widgets/skin.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The lock that stands for the single-instance mutex "MERVOL_UNDELETE": held
// (never closed) for the life of the process.
enum class Instance { kFirst, kAnotherRuns };

Instance TakeInstanceLock()
{
    std::string dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        dir = std::string(runtime) + "/MERVOL_UNDELETE.lock";
    else
        dir = "/tmp/MERVOL_UNDELETE-" + std::to_string(::geteuid()) + ".lock";
    const int fd = ::open(dir.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    // A lock that cannot be made at all does not stop the program.
    if (fd < 0)
        return Instance::kFirst;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return Instance::kAnotherRuns;
    }
    return Instance::kFirst;
}

// The skin lies beside the executable ("image/"), or, installed, in
// <prefix>/share/salvor/image.
void ChooseImageRoot()
{
    const QString exe_dir = QCoreApplication::applicationDirPath();
    if (QFileInfo::exists(exe_dir + QStringLiteral("/image/mainbg.png")))
        return;
    const QString shared = QDir::cleanPath(exe_dir + QStringLiteral("/../share/salvor"));
    if (QFileInfo::exists(shared + QStringLiteral("/image/mainbg.png")))
        zr::SetImageRoot(shared + QStringLiteral("/"));
}

// SIGTERM and SIGINT leave the program as the Exit item does, so the
// temporary folder is emptied and the devices are released.
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
}

} // namespace

int main(int argc, char** argv)
{
    if (TakeInstanceLock() == Instance::kAnotherRuns)
        return 0;

    QApplication app(argc, argv);
    ChooseImageRoot();

    salvor::CMainDlg dialog;
    const QStringList args = QCoreApplication::arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const std::string path = args[i].toStdString();
        const int err = bg_add_image(path.c_str());
        if (err != 0)
            dialog.AddStartupMessage("Cannot open " + path + ": " + salvor::ImageOpenError(path, err));
    }

    std::unique_ptr<QSocketNotifier> notifier;
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        notifier = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
        // Open message boxes are closed first; a running job is let finish.
        auto* leave = new QTimer(&dialog);
        leave->setInterval(100);
        QObject::connect(leave, &QTimer::timeout, &dialog, [&dialog, leave] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == &dialog) {
                leave->stop();
                dialog.OnMenuCommand(salvor::ID_MENU_EXIT);
            } else if (auto* box = dynamic_cast<zr::CMsgBox*>(modal)) {
                box->EndDialog(zr::IDC_MSGBOX_CLOSE);
            }
        });
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &dialog, [leave] {
            char byte;
            while (::read(g_signal_pipe[0], &byte, 1) > 0) {
            }
            leave->start();
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }

    return dialog.Run(nullptr);
}
