// The carving engine of Raw Recovery: a folder per enabled category, below it
// a folder per found type ("JPG(12)"), and the items of each type as "<n>.<type>".
#include "engines.h"

#include <salvor/scan/categories.h>
#include <salvor/scan/text.h>

#include <carvex/carvex.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace salvor {

namespace {

class CarvedStream final : public FileStream {
public:
    CarvedStream(BgVolume* volume, CxItem* item) : m_volume(volume), m_item(item)
    {
        // Each item is read from its own first byte.
        cx_end_read();
    }
    ~CarvedStream() override { cx_end_read(); }
    StreamRead Read(uint8_t* buffer, size_t length) override
    {
        if (cx_read_item(m_volume, m_item, buffer, uint32_t(length)) == length)
            return {length, true};
        std::memset(buffer, 0, length);
        return {length, false};
    }
    size_t Chunk() const override { return cluster_chunk(m_volume ? bg_volume_cluster_size(m_volume) : 0); }

private:
    BgVolume* m_volume;
    CxItem* m_item;
};

class RawEngine final : public Engine {
public:
    explicit RawEngine(const RawSelection& raw) : m_raw(raw) {}
    ~RawEngine() override
    {
        if (m_scanned)
            cx_release();
    }

    ScanOutcome Scan(BgVolume* volume, ScanSink& sink) override
    {
        m_volume = volume;
        FolderIndex category_folder[4] = {};
        bool category_made[4] = {};
        for (int c = kPhoto; c <= kOthers; ++c) {
            if (!m_raw.enabled(c))
                continue;
            category_folder[c] = sink.AddFolder(kRootFolder, CategoryName(c));
            category_made[c] = true;
        }
        m_scanned = true;
        if (cx_scan_volume(volume) < 0)
            return {ScanStatus::kFailed, "the volume cannot be read"};
        size_t total = 0;
        // The list of types starts again after its end, so one full pass is read.
        for (const char* t = cx_next_type(); t; t = cx_next_type()) {
            const std::string type = t;
            if (IsFileSystemType(type) || !IsKnownType(m_raw, type))
                continue;
            const int category = CategoryOfType(m_raw, type);
            if (category < 0 || !category_made[category])
                continue;
            std::vector<CxItem*> items;
            for (int32_t n = 0; n < INT32_MAX; ++n) {
                CxItem* item = cx_get_item(type.c_str(), n);
                if (!item)
                    break;
                items.push_back(item);
            }
            std::string upper = type;
            for (char& c : upper)
                c = char(std::toupper(uint8_t(c)));
            char text[300];
            std::snprintf(text, sizeof text, "%s(%zu)", upper.c_str(), items.size());
            const FolderIndex folder = sink.AddFolder(category_folder[category], TruncateUtf8(text, 260));
            std::string lower = type;
            for (char& c : lower)
                c = char(std::tolower(uint8_t(c)));
            for (size_t n = 0; n < items.size(); ++n) {
                char name[300];
                std::snprintf(name, sizeof name, "%zu.%s", n, lower.c_str());
                FoundFile found;
                found.name = SafeName(name);
                found.size = cx_item_size(items[n]);
                found.record = items[n];
                sink.AddFile(folder, std::move(found));
            }
            total += items.size();
        }
        return {total ? ScanStatus::kFound : ScanStatus::kNothing, {}};
    }

    std::unique_ptr<FileStream> Open(const FoundFile& file, std::string& reason) override
    {
        CxItem* item = RecordOf<CxItem>(file, reason);
        if (!item)
            return nullptr;
        if (cx_item_size(item) == 0) {
            reason = "the carved item holds no bytes";
            return nullptr;
        }
        return std::make_unique<CarvedStream>(m_volume, item);
    }

private:
    RawSelection m_raw;
    BgVolume* m_volume = nullptr;
    bool m_scanned = false;
};

} // namespace

std::unique_ptr<Engine> MakeRawEngine(const RawSelection& raw) { return std::make_unique<RawEngine>(raw); }

} // namespace salvor
