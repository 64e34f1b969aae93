// Where the skin lives and how its files are named. The image root is the
// executable's folder plus "/"; every skin file is "image/" plus its name
// under that root. The current directory plays no part.
#pragma once

#include <platform/zr_image.h>

#include <QString>

namespace zr {

// The image root, fixed on first use from the executable's folder.
const QString& ImageRoot();
// Replaces the root (tests point it at a folder without a skin).
void SetImageRoot(const QString& root);
// Image root + relative name.
QString ResolveImage(const QString& relative);
// Loads a skin file by its relative name; a missing file gives size 0.
ZrImage LoadSkinImage(const QString& relative);

namespace skin {
inline const char* const kMainBg = "image/mainbg.png";
inline const char* const kMainBgSel = "image/mainbgsel.png";
inline const char* const kMainBgScan = "image/mainbgscan.png";
inline const char* const kLoading = "image/loading.png";
inline const char* const kNoPreviewBk = "image/nopreviewbk.png";
inline const char* const kNotePreviewBk = "image/notepreviewbk.png";
inline const char* const kClose = "image/close.png";
inline const char* const kMin = "image/min.png";
inline const char* const kMenu = "image/menu.png";
inline const char* const kNext = "image/next.png";
inline const char* const kBack = "image/back.png";
inline const char* const kScan = "image/scan.png";
inline const char* const kRecover = "image/recover.png";
inline const char* const kBackupPar = "image/backup_par.png";
inline const char* const kRestorePar = "image/restore_par.png";
inline const char* const kRecoverPar = "image/recover_par.png";
inline const char* const kDriverLogo = "image/driverlogo.bmp";
inline const char* const kBoxBg = "image/box_bg.png";
inline const char* const kScanAnimation = "image/scan_animation.png";
inline const char* const kStop = "image/stop.png";
inline const char* const kMsgBoxBk = "image/msgboxbk.png";
inline const char* const kWarn = "image/warn.png";
inline const char* const kError = "image/error.png";
inline const char* const kInfo = "image/info.png";
inline const char* const kRight = "image/right.png";
inline const char* const kYes = "image/yes.png";
inline const char* const kNo = "image/no.png";
inline const char* const kOk = "image/ok.png";
inline const char* const kCancel = "image/cancel.png";
inline const char* const kAboutBg = "image/about_bg.png";
inline const char* const kRadioIco = "image/radioico.png";
inline const char* const kRadioIcoBmp = "image/radioico.bmp";
inline const char* const kCheck = "image/check.png";
inline const char* const kCheckBmp = "image/check.bmp";

// Frame strips.
constexpr int kButtonFrames = 3;
constexpr int kScanAnimationFrames = 6;
constexpr int kScanAnimationStep = 54;
constexpr int kLoadingFrames = 8;
constexpr int kLoadingStep = 16;
constexpr int kRadioFrameWidth = 12;
constexpr int kRadioFrameHeight = 13;
constexpr int kCheckFrameSize = 13;
} // namespace skin

} // namespace zr
