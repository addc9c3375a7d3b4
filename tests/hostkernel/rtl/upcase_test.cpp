// The kernel's up-casing and its case-insensitive comparison beyond ASCII.
#include "tests/hostkernel/host_test.h"

#include <utility>

namespace {

using UpcaseTest = KernelTest;

TEST_F(UpcaseTest, PairsSmallAndCapitalLettersOfEveryScript) {
    const std::pair<char16_t, char16_t> pairs[] = {
        {u'a', u'A'},     {u'z', u'Z'},     {0x00E4, 0x00C4}, // ä
        {0x00FE, 0x00DE}, {0x00FF, 0x0178}, {0x0101, 0x0100}, // ÿ, ā
        {0x0142, 0x0141}, {0x017A, 0x0179}, {0x0180, 0x0243}, // ł, ź, ƀ
        {0x01C6, 0x01C4}, {0x0250, 0x2C6F}, {0x03AC, 0x0386}, // ǆ, ɐ, ά
        {0x03C9, 0x03A9}, {0x03CE, 0x038F}, {0x0430, 0x0410}, // ω, ώ, а
        {0x0451, 0x0401}, {0x0463, 0x0462}, {0x04CF, 0x04C0}, // ё, ѣ, ӏ
        {0x0561, 0x0531}, {0x1E01, 0x1E00}, {0x1F00, 0x1F08}, // ա, ḁ, ἀ
        {0x2170, 0x2160}, {0x24D0, 0x24B6}, {0x2C30, 0x2C00}, // ⅰ, ⓐ, ⰰ
        {0x2D00, 0x10A0}, {0xA641, 0xA640}, {0xFF41, 0xFF21}, // ⴀ, ꙁ, ａ
    };
    for (auto [small, capital] : pairs) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(small), capital) << std::hex << int(small);
        EXPECT_EQ(RtlUpcaseUnicodeChar(capital), capital) << std::hex << int(capital);
    }
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x03C2), 0x03A3) << "final sigma, as the platform's table";
    // Letters whose capital lowers to another letter have no pair and stay:
    // dotless i, long s, micro sign, sharp s, title-case Dž, and everything
    // that is no letter. So do the letters that later Unicode versions
    // paired and the platform's table leaves alone: Cherokee small letters,
    // Georgian Mkhedruli, and newer Latin, IPA, Cyrillic and Coptic letters.
    const char16_t alone[] = {0x0131, 0x017F, 0x00B5, 0x00DF, 0x01C5, 0x00F7, u'0',
                              u'.',   u'[',   u'{',   u'@',   u'`',   0xFFFF, 0xAB70,
                              0x13F8, 0x10D0, 0x10FF, 0xA794, 0xA7B5, 0x025C, 0x0261,
                              0x0527, 0x2C5F, 0x2CF3, 0x2D27, 0xA661, 0x1D8E};
    for (char16_t c : alone) {
        EXPECT_EQ(RtlUpcaseUnicodeChar(c), c) << std::hex << int(c);
    }
}

TEST_F(UpcaseTest, CaseInsensitiveComparisonUpcasesEveryCharacter) {
    auto compare = [](const std::u16string& a, const std::u16string& b) {
        UNICODE_STRING first = Counted(a), second = Counted(b);
        return RtlCompareUnicodeString(&first, &second, TRUE);
    };
    EXPECT_EQ(compare(u"\u0141\u00F3d\u017A.exe", u"\u0141\u00D3D\u0179.EXE"), 0);
    EXPECT_EQ(compare(u"\u03AC\u03C9", u"\u0386\u03A9"), 0);
    EXPECT_EQ(compare(u"\u03C3\u03C2", u"\u03A3\u03A3"), 0) << "final sigma folds too";
    EXPECT_NE(compare(u"\u10D0\u10D1.exe", u"\u1C90\u1C91.exe"), 0) << "Mkhedruli stays";
    EXPECT_NE(compare(u"\u0131dle", u"IDLE"), 0) << "dotless i stays";
    EXPECT_LT(compare(u"abc", u"ABCD"), 0);
    EXPECT_GT(compare(u"abd", u"ABC"), 0);
}

} // namespace
