// The resources of the executable as Windows reads them: dialog template 102
// control by control, and the message catalogue's string.
#include "tests/wine/support.h"

#include <cstring>

namespace {

// Reads a DLGTEMPLATEEX and its items from a resource.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* p) : pos(p) {}
    WORD Word() { WORD w; memcpy(&w, pos, 2); pos += 2; return w; }
    DWORD Dword() { DWORD d; memcpy(&d, pos, 4); pos += 4; return d; }
    short Short() { return static_cast<short>(Word()); }
    // A sz_Or_Ord field: a string, or 0xFFFF followed by an ordinal ("#n").
    std::string NameOrOrdinal()
    {
        WORD first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::string s;
        for (WORD c = first; c != 0; c = Word()) s += static_cast<char>(c);
        return s;
    }
    void AlignDword() { pos = reinterpret_cast<const BYTE*>((reinterpret_cast<uintptr_t>(pos) + 3) & ~uintptr_t{3}); }

private:
    const BYTE* pos;
};

struct Item {
    int id;
    std::string cls, text;
    DWORD style, exStyle;
    short x, y, cx, cy;
};

class Resources : public testing::Test {
protected:
    void SetUp() override
    {
        hModule = LoadLibraryExA(BinExe("quenlow.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(hModule, nullptr) << GetLastError();
    }
    void TearDown() override { FreeLibrary(hModule); }
    HMODULE hModule = nullptr;
};

TEST_F(Resources, ProgressDialogTemplate)
{
    HRSRC hRes = FindResourceA(hModule, MAKEINTRESOURCEA(102), MAKEINTRESOURCEA(5)); // RT_DIALOG
    ASSERT_NE(hRes, nullptr);
    TemplateReader r(static_cast<const BYTE*>(LockResource(LoadResource(hModule, hRes))));
    EXPECT_EQ(r.Word(), 1) << "version";
    EXPECT_EQ(r.Word(), 0xFFFF) << "extended template";
    EXPECT_EQ(r.Dword(), 0u) << "help id";
    EXPECT_EQ(r.Dword(), 0u) << "extended style";
    EXPECT_EQ(r.Dword(), 0x80C002C0u) << "style: no system menu";
    WORD count = r.Word();
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 0);
    EXPECT_EQ(r.Short(), 206);
    EXPECT_EQ(r.Short(), 95);
    EXPECT_EQ(r.NameOrOrdinal(), "") << "menu";
    EXPECT_EQ(r.NameOrOrdinal(), "") << "class";
    EXPECT_EQ(r.NameOrOrdinal(), "Quenlow v1.1");
    EXPECT_EQ(r.Word(), 8) << "points";
    EXPECT_EQ(r.Word(), 0) << "weight";
    WORD italicCharset = r.Word();
    EXPECT_EQ(italicCharset & 0xFF, 0) << "italic";
    EXPECT_EQ(italicCharset >> 8, 1) << "character set";
    EXPECT_EQ(r.NameOrOrdinal(), "Tahoma");
    std::vector<Item> got;
    for (WORD i = 0; i < count; i++) {
        r.AlignDword();
        Item it;
        EXPECT_EQ(r.Dword(), 0u) << "help id";
        it.exStyle = r.Dword();
        it.style = r.Dword();
        it.x = r.Short();
        it.y = r.Short();
        it.cx = r.Short();
        it.cy = r.Short();
        it.id = static_cast<int>(r.Dword());
        it.cls = r.NameOrOrdinal();
        it.text = r.NameOrOrdinal();
        WORD extra = r.Word();
        EXPECT_EQ(extra, 0);
        got.push_back(it);
    }
    const Item expected[] = {
        {1020, "msctls_progress32", "Progress1", 0x50800000, 0, 11, 19, 152, 13},
        {1043, "#130", "1", 0x50020000, 0, 11, 41, 186, 44},
        {1023, "#130", "0", 0x50020000, 0x1000, 166, 21, 13, 11},
        {-1, "#130", "%", 0x50020000, 0, 185, 21, 12, 11},
    };
    ASSERT_EQ(got.size(), 4u);
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].id, expected[i].id);
        EXPECT_STRCASEEQ(got[i].cls.c_str(), expected[i].cls.c_str()); // class names ignore case
        EXPECT_EQ(got[i].text, expected[i].text);
        EXPECT_EQ(got[i].style, expected[i].style);
        EXPECT_EQ(got[i].exStyle, expected[i].exStyle);
        EXPECT_EQ(got[i].x, expected[i].x);
        EXPECT_EQ(got[i].y, expected[i].y);
        EXPECT_EQ(got[i].cx, expected[i].cx);
        EXPECT_EQ(got[i].cy, expected[i].cy);
    }
}

TEST_F(Resources, CatalogueStringIsUsEnglishAndWhole)
{
    HRSRC hRes = FindResourceExA(hModule, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(11034 / 16 + 1),
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    EXPECT_NE(hRes, nullptr) << "string 11034 must be in English (United States)";
    char szText[256];
    int n = LoadStringA(hModule, 11034, szText, sizeof(szText));
    EXPECT_EQ(n, 147);
    EXPECT_EQ(std::string(szText).find("\r\n\r\nPlease do not remove"), 36u);
}

} // namespace
