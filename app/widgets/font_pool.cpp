#include <widgets/font_pool.h>

namespace zr {

uint16_t ZrFontPool::MakeKey(int size_step, bool bold, bool underline, bool italic)
{
    return static_cast<uint16_t>((static_cast<uint16_t>(static_cast<uint8_t>(static_cast<int8_t>(size_step))) << 8) |
                                 (bold ? 0x4 : 0) | (underline ? 0x2 : 0) | (italic ? 0x1 : 0));
}

ZrFontPool::ZrFontPool()
{
    m_base = QFont(QString::fromLatin1(kFaceName));
    m_base.setPixelSize(kBaseHeight);
    m_base.setWeight(QFont::Normal);
    m_base.setStyleStrategy(QFont::PreferAntialias);
    m_cache.emplace(kBase, std::make_unique<QFont>(m_base));
}

ZrFontPool& ZrFontPool::Instance()
{
    static ZrFontPool* pool = new ZrFontPool(); // lives until process exit
    return *pool;
}

const QFont* ZrFontPool::Font(uint16_t key) { return Instance().Get(key); }

const QFont* ZrFontPool::Get(uint16_t key)
{
    if (auto it = m_cache.find(key); it != m_cache.end())
        return it->second.get();
    const int height = kBaseHeight + SizeStep(key);
    if (height <= 0)
        return nullptr;
    auto font = std::make_unique<QFont>(m_base);
    font->setPixelSize(height);
    font->setWeight(IsBold(key) ? QFont::Bold : QFont::Normal);
    font->setUnderline(IsUnderline(key));
    font->setItalic(IsItalic(key));
    const QFont* handle = font.get();
    m_cache.emplace(key, std::move(font));
    return handle;
}

} // namespace zr
