#include "items/rtf_html.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel {
namespace {

// Laid out as Outlook writes an HTML message's RTF body: header, font table with a
// Cyrillic font, tags in \htmltag groups, RTF-only formatting fenced by \htmlrtf.
const std::string kEncapsulated =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\fbidis \\deff0{\\fonttbl\r\n"
    "{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
    "{\\f1\\fmodern Courier New;}\r\n"
    "{\\f2\\fnil\\fcharset2 Symbol;}\r\n"
    "{\\f3\\fswiss\\fcharset204 Calibri;}}\r\n"
    "{\\colortbl\\red0\\green0\\blue0;\\red5\\green99\\blue193;}\r\n"
    "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 \r\n"
    "{\\*\\htmltag19 <html>}\r\n"
    "{\\*\\htmltag34 <head>}\r\n"
    "{\\*\\htmltag1 \\par }\r\n"
    "{\\*\\htmltag241 <style>}\r\n"
    "{\\*\\htmltag241 p \\{margin:0\\}\\par a\\\\b}\r\n"
    "{\\*\\htmltag249 </style>}\r\n"
    "{\\*\\htmltag41 </head>}\r\n"
    "{\\*\\htmltag50 <body lang=\"EN\">}\\htmlrtf \\viewkind5 \\htmlrtf0 \r\n"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Caf\\'e9 \r\n"
    "{\\*\\htmltag84 &amp;}\\htmlrtf &\\htmlrtf0  bar\r\n"
    "{\\*\\htmltag84 &lt;}\\htmlrtf <\\htmlrtf0 \\tab x\r\n"
    "\\htmlrtf\\par\\htmlrtf0\r\n"
    "{\\*\\htmltag72 </p>}\r\n"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 \\u8364\\'80 \\uc2\\u9731\\'3f\\'3f\\uc1\r\n"
    "\\u-10179\\'3f\\u-8704\\'3f {\\f3 \\'cf\\'f0\\'e8}\r\n"
    "\\htmlrtf }\\htmlrtf0 \r\n"
    "{\\*\\mhtmltag84 <img src=\"cid:a\">}{\\*\\htmltag84 <img src=\"a.png\">}\r\n"
    "\\htmlrtf\\par}\\htmlrtf0\r\n"
    "{\\*\\htmltag72 </p>}\r\n"
    "{\\*\\htmltag58 </body>}\r\n"
    "{\\*\\htmltag27 </html>}}\r\n";

TEST(RtfHtml, DeencapsulatesAnOutlookDocument) {
    const auto html = HtmlFromRtf(kEncapsulated);
    ASSERT_TRUE(html.has_value());
    EXPECT_EQ(*html,
              "<html><head>\r\n<style>p {margin:0}\r\na\\b</style></head>"
              "<body lang=\"EN\"><p>Caf\xC3\xA9 &amp; bar&lt;\tx</p>"
              "<p>\xE2\x82\xAC \xE2\x98\x83\xF0\x9F\x98\x80 "
              "\xD0\x9F\xD1\x80\xD0\xB8<img src=\"a.png\"></p></body></html>");
}

TEST(RtfHtml, OnlyDocumentsWrittenFromHtml) {
    EXPECT_FALSE(HtmlFromRtf("{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n"));
    EXPECT_FALSE(HtmlFromRtf("{\\rtf1\\ansi\\fromtext \\pard hello}"));
    // \fromhtml1 after the body began is not a header word
    EXPECT_FALSE(HtmlFromRtf("{\\rtf1\\ansi hello \\fromhtml1 {\\*\\htmltag64 <p>}}"));
    EXPECT_FALSE(HtmlFromRtf("not rtf at all"));
    EXPECT_FALSE(HtmlFromRtf(""));
    // Double-byte text arrives as pairs of escapes in the document's code page.
    EXPECT_EQ(HtmlFromRtf("{\\rtf1\\ansi\\ansicpg932\\fromhtml1 {\\*\\htmltag64 <p>}"
                          "\\'93\\'fa\\'96\\'7b}"),
              "<p>\xE6\x97\xA5\xE6\x9C\xAC");
}

TEST(RtfHtml, HostileInputEndsBounded) {
    // Deep nesting, unclosed groups, a truncated escape and an endless parameter.
    std::string deep = "{\\rtf1\\fromhtml1 {\\*\\htmltag64 <p>}";
    for (int i = 0; i < 100000; ++i) deep += '{';
    deep += "x\\'4";
    const auto r = HtmlFromRtf(deep);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r, "<p>");  // the text past the depth limit is dropped, never misread

    std::string longParam = "{\\rtf1\\fromhtml1 \\uc" + std::string(5000, '9') + " a\\u" +
                            std::string(5000, '9') + "b}";
    EXPECT_TRUE(HtmlFromRtf(longParam).has_value());
    EXPECT_EQ(HtmlFromRtf("{\\rtf1\\fromhtml1 {\\*\\htmltag64 <p>}a}}}}b"), "<p>a");
}

}  // namespace
}  // namespace kestrel
