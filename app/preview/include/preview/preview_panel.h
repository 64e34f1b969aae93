// The preview panel of the results page: a click on a row of the result list
// copies the file through its engine's stream into the temporary folder,
// loads it as an image and draws it fitted into the panel; animated images
// play frame by frame on timer 4 of the main dialog. Text files show their
// first lines, videos and PDF files their type icon and size.
//
// Reading never holds the window: a file larger than the cap is not read at
// all, a small one is read at once, and anything between is read and decoded
// on a worker thread whose result is shown when it is ready. A newer click
// cancels an older read.
#pragma once

#include <host/main_host.h>
#include <platform/zr_image.h>

#include <QIcon>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QObject;
class QPainter;

namespace salvor {

// The panel: (183, 119), 609 x 155 client pixels of the main dialog.
inline const QRect kPreviewPanel(183, 119, 609, 155);
// The main dialog's timer of the animation.
constexpr int kPreviewTimer = 4;

// Where an image of w x h pixels is drawn: kept at its size when it fits,
// else scaled down to the panel's width or height keeping its proportions,
// centred in the panel.
QRect FitPreview(int w, int h);

// The first `count` characters of UTF-8 text (never a broken sequence).
std::string FirstCharacters(const std::string& text, size_t count);

// What a preview decodes to: the frames (already scaled to the fitted
// rectangle) with their delays in milliseconds, or the first lines of a text.
struct DecodedPreview {
    std::vector<QImage> frames;
    std::vector<int> delays;
    QRect fitted;
    QStringList lines;
    bool ok = false;
};

// The pixels decoding would produce, by the header: width x height x frames
// (0 when the header does not tell).
uint64_t PreviewPixels(const QByteArray& bytes);
// Decodes image bytes for the panel (at most a bounded number of frames and
// bytes of pixels).
DecodedPreview DecodePreviewImage(const QByteArray& bytes);
// The first lines of a text file's first bytes; fails on bytes that are not
// text.
DecodedPreview DecodePreviewText(const QByteArray& bytes);

class PreviewPanel {
public:
    explicit PreviewPanel(MainHost& host);
    // Cancels a read in progress and waits for the worker. The current
    // temporary file stays until Clear().
    ~PreviewPanel();
    PreviewPanel(const PreviewPanel&) = delete;
    PreviewPanel& operator=(const PreviewPanel&) = delete;

    // image/nopreviewbk.png and image/notepreviewbk.png below `image_root`
    // (the folder that holds "image"); false when either is missing.
    bool LoadSkin(const QString& image_root);

    // The list click: previews the file of a row of the result list.
    void PreviewRow(size_t row);
    // Draws the panel (results page, not Partition Recovery).
    void Paint(QPainter& painter);
    // A tick of timer 4: the next frame of an animated image.
    void OnTimer();
    // Back and exit: drops the image, deletes the current temporary file and
    // forgets it, stops the animation and resets the counters.
    void Clear();
    // Ends any read of the engine by the preview (cancelling it): called
    // before the engine is released or another job reads it.
    void StopReading();
    // Waits for a read on the worker and shows its result now.
    void WaitReady();

    // What the panel shows.
    enum class Shown {
        kNothingChosen, // no row clicked yet
        kNoPreview, // not an image, too large, or unreadable
        kLoading, // read on the worker
        kImage,
        kText,
        kTypeIcon, // a video or PDF: its icon and size
    };
    Shown State() const { return m_shown; }
    const std::string& Extension() const { return m_extension; }
    // The temporary file of the current preview ("" when there is none).
    std::string CurrentPath() const;
    QRect FittedRect() const { return m_fitted; }
    int FrameCount() const { return int(m_frames.size()); }
    int CurrentFrame() const { return m_frame; }
    bool Animating() const { return m_animating; }
    // The interval timer 4 was last started with (ms).
    int TimerInterval() const { return m_interval; }
    // How many times a file was read from its engine (a repeated click
    // reads nothing).
    int Extractions() const { return m_extractions; }

    // Larger files are not read; files up to kInlineBytes are read without
    // the worker; a text preview reads at most kTextBytes.
    static constexpr uint64_t kMaxPreviewBytes = 32ull << 20;
    static constexpr uint64_t kInlineBytes = 256ull << 10;
    // A small file whose header promises more pixels is decoded on the
    // worker too.
    static constexpr uint64_t kInlinePixels = 4ull << 20;
    static constexpr uint64_t kTextBytes = 4096;
    // Longest name kept for the temporary file, in characters.
    static constexpr size_t kNameCharacters = 50;

private:
    struct Job;

    void Deliver(const std::shared_ptr<Job>& job);
    void Adopt(DecodedPreview&& decoded);
    void StopAnimation();
    // Stops what is read or played and forgets what is shown, its file deleted.
    void DropShown();
    void StartFrameTimer();
    void DeleteCurrentFile();
    void CancelCurrent();
    void ReapThreads(bool all);
    void InvalidatePanel();
    bool OpenTempFolder();
    void StartImage(const FoundFile& file, const std::string& name);
    void ShowText(const FoundFile& file);
    void ShowTypeIcon(const FoundFile& file, const std::string& row_text);

    MainHost& m_host;
    zr::ZrImage m_no_preview;
    zr::ZrImage m_not_chosen;

    Shown m_shown = Shown::kNothingChosen;
    std::string m_extension;
    uintptr_t m_item = 0;
    std::string m_row_name;
    // The temporary file: its name in the folder held open below.
    std::string m_file_name;
    int m_dir_fd = -1;

    std::vector<QImage> m_frames;
    std::vector<int> m_delays;
    QRect m_fitted;
    int m_frame = 0;
    bool m_animating = false;
    int m_interval = 0;
    int m_extractions = 0;

    QStringList m_lines;
    QIcon m_icon;
    QString m_caption;

    // The read in progress (null when none) and every worker not yet joined.
    std::shared_ptr<Job> m_job;
    struct Worker {
        std::shared_ptr<Job> job;
        std::thread thread;
    };
    std::vector<Worker> m_workers;
    // Receives the workers' results on the window's thread.
    std::unique_ptr<QObject> m_receiver;
};

} // namespace salvor
