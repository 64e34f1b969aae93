// The scan worker, the listing of a folder and the engine clean-up: the one
// road from a chosen volume through its engine to the result views.
#pragma once

#include <salvor/scan/session.h>

#include <cstdint>
#include <string>

namespace salvor {

// Runs the engine of the session's mode on its volume: empties the views,
// keeps what the engine finds in session.result and builds the result tree
// from it. The engine is chosen by the mode and the volume's own code in
// Deleted Recovery, the session's code (the user's choice) in Format
// Recovery. On failure session.failure says why.
ScanOutcome RunScan(ScanSession& session, LoadingState& loading, ProgressSink& progress);
// The same with an engine the caller chose.
ScanOutcome RunScanWith(ScanSession& session, std::unique_ptr<Engine> engine, LoadingState& loading,
                        ProgressSink& progress);

// The designed entry points of the three modes. Deleted and Format: 1 when
// the tree was built, 0 when nothing was (see session.failure), -1 when no
// engine handles the code. Raw: the number of items shown, -1 when the volume
// cannot be read.
int RunDeletedScan(ScanSession& session, LoadingState& loading, ProgressSink& progress);
int RunFormatScan(ScanSession& session, LoadingState& loading, ProgressSink& progress);
int RunRawScan(ScanSession& session, ProgressSink& progress);

// Appends the rows of the current folder to the list.
void FillResultList(ScanSession& session);

// Releases the engine of the last scan and what it found.
void EngineCleanup(ScanSession& session);

// The size text of a row in an engine's style.
std::string SizeText(SizeStyle style, uint64_t size);

// Raw Recovery: the type a type node stands for ("JPG(12)" -> "jpg").
std::string RawTypeOfNode(const std::string& text);

// Files per group folder of the ext3 and HFS+ trees.
constexpr int kFilesPerGroup = 100;
// Bound on any engine chain walked, so a damaged (looping) chain ends.
constexpr size_t kMaxChain = size_t(1) << 24;

} // namespace salvor
