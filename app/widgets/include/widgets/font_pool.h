// The process-wide pool of fonts derived from one base font ("Arial", 11
// pixels, antialiased). A 16-bit key selects a variant: bits 8-15 a signed
// size step s (height 11 + s pixels), bit 2 bold, bit 1 underline, bit 0
// italic. Fonts are created on first request and kept for the process.
#pragma once

#include <QFont>

#include <cstdint>
#include <map>
#include <memory>

namespace zr {

class ZrFontPool {
public:
    virtual ~ZrFontPool() = default;

    static constexpr uint16_t kBase = 0x000;
    static constexpr uint16_t kText = 0x100;      // regular, one step up
    static constexpr uint16_t kBoldText = 0x104;  // bold, one step up
    static constexpr uint16_t kMode = 0x204;      // bold, two steps up
    static constexpr uint16_t kHeader = 0x304;    // bold, three steps up
    static constexpr uint16_t kStatus = 0x604;    // bold, six steps up

    static constexpr const char* kFaceName = "Arial";
    static constexpr int kBaseHeight = 11;

    static int SizeStep(uint16_t key) { return static_cast<int8_t>(static_cast<uint8_t>(key >> 8)); }
    static bool IsBold(uint16_t key) { return (key & 0x4) != 0; }
    static bool IsUnderline(uint16_t key) { return (key & 0x2) != 0; }
    static bool IsItalic(uint16_t key) { return (key & 0x1) != 0; }
    static uint16_t MakeKey(int size_step, bool bold, bool underline, bool italic);

    // The font of a key, created and cached on first use; null when it cannot
    // be made (a size step that leaves no height). The pointer stays valid for
    // the life of the process.
    static const QFont* Font(uint16_t key);

    static ZrFontPool& Instance();
    size_t CachedCount() const { return m_cache.size(); }

private:
    ZrFontPool();
    const QFont* Get(uint16_t key);

    QFont m_base;
    std::map<uint16_t, std::unique_ptr<QFont>> m_cache;
};

} // namespace zr
