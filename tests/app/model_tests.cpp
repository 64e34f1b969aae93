// Result model: size and time texts, names, check rules, raw categories and
// the FAT listing.
#include <salvor/scan/categories.h>
#include <salvor/scan/check_rules.h>
#include <salvor/scan/drivers.h>
#include <salvor/scan/text.h>

#include "engines/engines.h"

#include <fsprobe/fat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using namespace salvor;

TEST(Texts, FormatSize)
{
    EXPECT_EQ(FormatSize(0), "0B");
    EXPECT_EQ(FormatSize(1023), "1023B");
    EXPECT_EQ(FormatSize(1024), "1.00KB");
    EXPECT_EQ(FormatSize(1536 * 1024), "1.50MB");
    EXPECT_EQ(FormatSize(uint64_t(1) << 30), "1.00GB");
    EXPECT_EQ(FormatSize(uint64_t(5) << 30), "5.00GB");
    EXPECT_EQ(FormatSize(UINT64_MAX), "17179869184.00GB");
}

class TimeTexts : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = getenv("TZ");
        m_old = tz ? tz : "";
        m_had = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (m_had)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string m_old;
    bool m_had = false;
};

TEST_F(TimeTexts, EngineTimeStampsShowMonthDayAndTime)
{
    // 2024-07-15 12:34:56 UTC as 100 ns units since 1601.
    const uint64_t unix_seconds = 1721046896;
    const uint64_t ntfs = (unix_seconds + 11644473600ull) * 10000000ull + 1234567;
    EXPECT_EQ(EngineTimeText(ntfs), "07-15 12:34:56");
    // A leap day a full cycle away still comes out right.
    const uint64_t leap = (951782400ull /* 2000-02-29 00:00:00 */ + 11644473600ull) * 10000000ull;
    EXPECT_EQ(EngineTimeText(leap), "02-29 00:00:00");
    EXPECT_EQ(FormatShortTime(0), "01-01 00:00:00");
    EXPECT_EQ(FatTimeText(6, 15, 10, 20, 15), "06-15 10:20:30");
    // Beyond what the local-time conversion takes (a damaged stamp): the
    // fields still come out as a real date and time, in UTC.
    EXPECT_EQ(FormatShortTime(INT64_MAX).substr(5), " 15:30:07");
    for (int64_t damaged : {INT64_MAX, INT64_MIN, int64_t(1) << 60, -(int64_t(1) << 60)}) {
        int month = 0, day = 0, hour = -1, minute = -1, second = -1;
        ASSERT_EQ(std::sscanf(FormatShortTime(damaged).c_str(), "%d-%d %d:%d:%d", &month, &day, &hour, &minute,
                              &second), 5);
        EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31) << damaged;
        EXPECT_TRUE(hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60) << damaged;
    }
    // Its ISO form keeps the year: 292 billion years from now.
    EXPECT_EQ(IsoTimeText(FileTime{INT64_MAX, 0, 0, true}).substr(0, 12), "292277026596");
}

TEST(Texts, NamesStayInTheirFolderAndWithin255Bytes)
{
    EXPECT_EQ(SafeName(".."), "__");
    EXPECT_EQ(SafeName("."), "_");
    EXPECT_EQ(SafeName("a/../b"), "a_.._b");
    EXPECT_EQ(SafeName("..."), "...");
    std::string long_name;
    for (int i = 0; i < 100; ++i)
        long_name += "\xc3\xa9"; // é, two bytes each
    long_name = "x" + long_name + "\xe6\x97\xa5\xe6\x9c\xac"; // 1 + 200 + 6 bytes
    std::string many = long_name + long_name;
    const std::string cut = SafeName(many);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut.size(), 254u); // 255 would split a two-byte character
    EXPECT_EQ(cut, many.substr(0, 254));
    // A name that must be cut keeps its extension; one that fits is whole.
    EXPECT_EQ(SafeName(many + ".pdf"), many.substr(0, 250) + ".pdf"); // 251 would split a character
    const std::string ascii = std::string(251, 'a') + ".txt";
    EXPECT_EQ(SafeName(ascii), ascii);
    const char16_t units[] = {u'a', 0xD800, u'b', 0}; // an unpaired surrogate
    EXPECT_EQ(NameFromUtf16(units, 10), "a\xef\xbf\xbd" "b");
}

// Found names with control characters and bytes that are not UTF-8: shown as
// one escaped line that can be undone to the exact bytes, written with '_'
// for every control character.
TEST(Texts, ControlCharactersAndInvalidBytesAreEscapedOrReplaced)
{
    EXPECT_EQ(EscapedText("plain \xc3\xa9t\xc3\xa9.txt"), "plain \xc3\xa9t\xc3\xa9.txt");
    EXPECT_EQ(EscapedText("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(EscapedText("\x1b[31mred\x07"), "\\x1b[31mred\\x07");
    EXPECT_EQ(EscapedText("back\\n"), "back\\\\n"); // a real backslash stays told apart from an escape
    EXPECT_EQ(EscapedText("bad\xff\xfe"), "bad\\xff\\xfe");
    EXPECT_EQ(EscapedText("csi\xc2\x9b" "2J"), "csi\\xc2\\x9b2J"); // U+009B, a C1 control
    EXPECT_EQ(EscapedText("\xe6\x97"), "\\xe6\\x97"); // a cut sequence
    EXPECT_EQ(EscapedText("\xc0\xaf"), "\\xc0\\xaf"); // an overlong '/'
    EXPECT_EQ(EscapedText("\xed\xa0\x80"), "\\xed\\xa0\\x80"); // a surrogate
    EXPECT_EQ(EscapedText(std::string("nul\0x", 5)), "nul\\x00x");

    EXPECT_TRUE(IsValidUtf8("\xe6\x97\xa5\xf0\x9f\x98\x80 ok"));
    EXPECT_FALSE(IsValidUtf8("\xff"));
    EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(IsValidUtf8("\xe0\x80\xaf"));      // overlong

    EXPECT_EQ(TargetName("new\nline\x1b[31m.txt"), "new_line_[31m.txt");
    EXPECT_EQ(TargetName("del\x7f\xc2\x85x"), "del__x");
    EXPECT_EQ(TargetName("bad\xff\xc3\xa9.bin"), "bad\xff\xc3\xa9.bin"); // bytes are a valid Linux name
    EXPECT_EQ(TargetName("a/b"), "a_b");
    EXPECT_EQ(TargetName(".."), "__");
}

// root -> A -> (B, C), root -> D
struct CheckFixture : ::testing::Test {
    MemoryResultTree tree;
    MemoryResultList list;
    ScanSession session{tree, list};
    NodeId root = 0, a = 0, b = 0, c = 0, d = 0;
    void SetUp() override
    {
        root = tree.InsertNode(0, "X:(NTFS )", kImageRoot, kImageRootSelected);
        a = tree.InsertNode(root, "A", 0, 1);
        b = tree.InsertNode(a, "B", 0, 1);
        c = tree.InsertNode(a, "C", 0, 1);
        d = tree.InsertNode(root, "D", 0, 1);
        session.current_folder = b;
        for (int i = 0; i < 3; ++i)
            list.AppendRow("f" + std::to_string(i), "1B", "", 0);
    }
};

TEST_F(CheckFixture, CheckingTheLastChildChecksTheParents)
{
    TreeCheckClick(session, b);
    EXPECT_EQ(tree.CheckState(b), kChecked);
    for (size_t r = 0; r < 3; ++r)
        EXPECT_EQ(list.CheckState(r), kChecked); // b is the current folder
    EXPECT_EQ(tree.CheckState(a), kUnchecked);   // c still unchecked
    TreeCheckClick(session, c);
    EXPECT_EQ(tree.CheckState(a), kChecked);
    EXPECT_EQ(tree.CheckState(root), kUnchecked); // d still unchecked
    TreeCheckClick(session, d);
    EXPECT_EQ(tree.CheckState(root), kChecked);

    // Unchecking a node unchecks its subtree, the list and every ancestor.
    TreeCheckClick(session, a);
    EXPECT_EQ(tree.CheckState(a), kUnchecked);
    EXPECT_EQ(tree.CheckState(b), kUnchecked);
    EXPECT_EQ(tree.CheckState(c), kUnchecked);
    EXPECT_EQ(tree.CheckState(root), kUnchecked);
    EXPECT_EQ(tree.CheckState(d), kChecked);
    EXPECT_EQ(list.CheckState(1), kUnchecked);
}

TEST_F(CheckFixture, ListChangesFollowTheRows)
{
    TreeCheckClick(session, b);
    list.SetCheckState(1, kUnchecked);
    ListCheckChanged(session);
    EXPECT_EQ(tree.CheckState(b), kUnchecked);
    SelectAll(list);
    ListCheckChanged(session);
    EXPECT_EQ(tree.CheckState(b), kChecked);
    list.SetCheckState(0, kUnchecked);
    SelectInversely(list);
    EXPECT_EQ(list.CheckState(0), kChecked);
    EXPECT_EQ(list.CheckState(1), kUnchecked);
    EXPECT_EQ(list.CheckState(2), kUnchecked);
}

TEST(Categories, ExactExtensionsAndCategoryOrder)
{
    RawSelection others_only{false, false, false, true};
    EXPECT_EQ(CategoryOfType(others_only, "mp3"), kOthers);
    EXPECT_EQ(CategoryOfType(others_only, "avi"), kOthers);
    EXPECT_EQ(CategoryOfType(others_only, "jpg"), -1); // a photo type is never "other"
    RawSelection music_video{false, true, true, false};
    EXPECT_EQ(CategoryOfType(music_video, "wma"), kMusic);
    EXPECT_EQ(CategoryOfType(music_video, "AIFF"), kMusic);
    EXPECT_EQ(CategoryOfType(music_video, "mkv"), kVideo);
    EXPECT_EQ(CategoryOfType(music_video, "zip"), -1);
    RawSelection all;
    EXPECT_EQ(CategoryOfType(all, "JPG"), kPhoto);
    EXPECT_TRUE(IsPhotoType("tiff"));
    // Whole extensions only: no match across or inside entries.
    EXPECT_FALSE(IsPhotoType("jp"));
    EXPECT_FALSE(IsPhotoType("g.jp"));
    EXPECT_FALSE(IsPhotoType("peg.jpg"));
    EXPECT_FALSE(IsPhotoType(""));
    EXPECT_FALSE(IsMusicType(all, "p3"));
    EXPECT_TRUE(IsMusicType(all, "mp+"));
    EXPECT_TRUE(IsFileSystemType("FAT16"));
    EXPECT_TRUE(IsFileSystemType("ntfs"));
    EXPECT_FALSE(IsFileSystemType("flac"));
}

TEST(Categories, EachTypeShowsUnderOneCategoryOnly)
{
    // wma and aiff are music: with Music off they are never video, but
    // "other" types when Others is on.
    RawSelection video_only{false, false, true, false};
    EXPECT_EQ(CategoryOfType(video_only, "wma"), -1);
    EXPECT_EQ(CategoryOfType(video_only, "aiff"), -1);
    EXPECT_EQ(CategoryOfType(video_only, "wmv"), kVideo);
    RawSelection video_others{false, false, true, true};
    EXPECT_EQ(CategoryOfType(video_others, "wma"), kOthers);
    EXPECT_FALSE(IsVideoType(video_others, "aiff"));
    // Types of the carving library that no extension list used to name.
    RawSelection all;
    EXPECT_EQ(CategoryOfType(all, "heic"), kPhoto);
    EXPECT_EQ(CategoryOfType(all, "webm"), kVideo);
    // A name cut short by a NUL is not the name before it.
    EXPECT_FALSE(IsPhotoType(std::string("jpg\0x", 5)));
}

// A FatEntry with its name, allocated as the engine does.
struct EntryStore {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<FatEntry*> entries;
    void add(const std::u16string& name, uint32_t size, bool dir, bool stamped = true)
    {
        std::vector<uint8_t> block(sizeof(FatEntry) + 2 * (name.size() + 1), 0);
        auto* e = reinterpret_cast<FatEntry*>(block.data());
        e->size = size;
        e->is_directory = dir ? 1 : 0;
        if (stamped) {
            e->month = 3;
            e->day = 4;
            e->hour = 5;
            e->minute = 6;
            e->seconds2 = 7;
        }
        std::memcpy(block.data() + sizeof(FatEntry), name.data(), 2 * name.size());
        blocks.push_back(std::move(block));
        entries.push_back(reinterpret_cast<FatEntry*>(blocks.back().data()));
    }
};

TEST(FatListing, DeletionMarkAndTheQuestionMarkStop)
{
    EntryStore store;
    store.add(u"\u00e5OC.TXT", 10, false); // 0xE5 unit: the deletion mark
    store.add(u"SUB", 0, true);
    store.add(u"\u00e5OC2.TXT", 1024, false);
    store.add(u"BAD.???", 5, false);
    store.add(u"AFTER.TXT", 5, false);
    store.entries.push_back(nullptr);

    ScanResult result;
    ResultSink sink(result);
    AddFatListing(sink, kRootFolder, store.entries.data());
    ASSERT_EQ(result.folders[kRootFolder].files.size(), 2u);
    const FoundFile& first = result.files[0];
    EXPECT_EQ(first.name, "_OC.TXT");
    EXPECT_EQ(SizeText(SizeStyle::kScaled, first.size), "10B");
    EXPECT_EQ(first.time_text, "03-04 05:06:14");
    // The entry's own time, of an unknown zone: 1980 + year, to two seconds.
    ASSERT_TRUE(first.times.created.has_value());
    EXPECT_EQ(IsoTimeText(*first.times.created), "1980-03-04T05:06:14");
    EXPECT_EQ(result.files[1].name, "_OC2.TXT");
    EXPECT_EQ(SizeText(SizeStyle::kScaled, result.files[1].size), "1.00KB");
    EXPECT_EQ(std::get<FatEntry*>(result.files[1].record), store.entries[2]);
}

// An entry that keeps no time (all zero) shows "-", not a date that never was.
TEST(FatListing, AnEntryWithoutATimeShowsNone)
{
    EntryStore store;
    store.add(u"PLAIN.TXT", 10, false, false);
    store.add(u"STAMPED.TXT", 10, false);
    store.entries.push_back(nullptr);
    ScanResult result;
    ResultSink sink(result);
    AddFatListing(sink, kRootFolder, store.entries.data());
    ASSERT_EQ(result.files.size(), 2u);
    EXPECT_EQ(result.files[0].time_text, "-");
    EXPECT_FALSE(result.files[0].times.created.has_value());
    EXPECT_EQ(result.files[1].time_text, "03-04 05:06:14");
}

TEST(Texts, OwnTimesInIso8601)
{
    EXPECT_EQ(IsoTimeText(FileTime{0, 0, 0, true}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoTimeText(FileTime{951782400, 0, 0, true}), "2000-02-29T00:00:00Z"); // a leap day
    EXPECT_EQ(IsoTimeText(FileTime{1714572187, 0, 120, true}), "2024-05-01T16:03:07+02:00");
    EXPECT_EQ(IsoTimeText(FileTime{1714572187, 0, -330, true}), "2024-05-01T08:33:07-05:30");
    EXPECT_EQ(IsoTimeText(FileTime{-1, 0, 0, true}), "1969-12-31T23:59:59Z");
    // NTFS keeps times back to 1601 and far ahead: the year is shown as it is.
    EXPECT_EQ(IsoTimeText(FileTime{-11644473600, 0, 0, true}), "1601-01-01T00:00:00Z");
    EXPECT_EQ(IsoTimeText(FileTime{253402300799, 0, 0, true}), "9999-12-31T23:59:59Z");
    EXPECT_EQ(IsoTimeText(FileTime{1714572187, 0, 0, false}), "2024-05-01T14:03:07");
}

TEST(MemoryTree, DeletingAndWalking)
{
    MemoryResultTree tree;
    NodeId r = tree.InsertNode(0, "r", 4, 5);
    NodeId x = tree.InsertNode(r, "x", 0, 1);
    NodeId y = tree.InsertNode(r, "y", 0, 1);
    NodeId z = tree.InsertNode(x, "z", 0, 1);
    EXPECT_EQ(tree.FirstChild(r), x);
    EXPECT_EQ(tree.NextSibling(x), y);
    EXPECT_EQ(tree.PreviousSibling(y), x);
    EXPECT_EQ(tree.Parent(z), x);
    tree.DeleteNode(x);
    EXPECT_EQ(tree.FirstChild(r), y);
    EXPECT_EQ(tree.Text(z), "");
    EXPECT_EQ(tree.InsertNode(z, "orphan", 0, 1), 0u); // no parent any more
    EXPECT_EQ(tree.NodeCount(), 2u);
}

} // namespace
