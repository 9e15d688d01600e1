// The preview page: which body it shows, the byte-order mark, and cid: images taken from
// the message's own attachments under names of the program's own.
#include "items/preview_page.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

const std::vector<uint8_t> kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3};

ItemRecord Message(std::string_view html, std::string_view body = {}) {
    ItemRecord item;
    item.message = std::make_unique<MessageRecord>();
    item.message->bodyHtml = Bytes(html);
    item.message->body = std::string(body);
    return item;
}

AttachmentRecord Image(std::string contentId, std::vector<uint8_t> data,
                       std::string name = "../../etc/evil.png") {
    AttachmentRecord attachment;
    attachment.longName = std::move(name);
    attachment.contentId = std::move(contentId);
    attachment.data = std::move(data);
    return attachment;
}

TEST(PreviewPage, ChoosesHtmlThenRtfHtmlThenEscapedTextAndAlwaysStartsWithBom) {
    const std::string bom(kUtf8Bom);
    // HTML that names windows-1252 is still served as the UTF-8 the item layer made.
    ItemRecord html = Message("<meta charset=\"windows-1252\"><p>Caf\xC3\xA9</p>", "plain");
    EXPECT_EQ(BuildMessagePreview(html, std::string("<p>rtf</p>")).html,
              bom + "<meta charset=\"windows-1252\"><p>Caf\xC3\xA9</p>");

    ItemRecord rtfOnly = Message("", "plain");
    EXPECT_EQ(BuildMessagePreview(rtfOnly, std::string("<p>from rtf</p>")).html,
              bom + "<p>from rtf</p>");

    const PreviewPage text = BuildMessagePreview(rtfOnly);
    EXPECT_EQ(text.html.rfind(bom, 0), 0u);
    EXPECT_NE(text.html.find("<pre>plain</pre>"), std::string::npos);

    ItemRecord script = Message("", "<script>alert(1)</script> & \"q\"");
    const std::string escaped = BuildMessagePreview(script).html;
    EXPECT_EQ(escaped.find("<script>"), std::string::npos);
    EXPECT_NE(escaped.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;q&quot;"),
              std::string::npos);

    ItemRecord empty = Message("");
    EXPECT_EQ(BuildMessagePreview(empty).html, bom);
    EXPECT_EQ(BuildMessagePreview(ItemRecord{}).html, bom);
}

TEST(PreviewPage, CidImagesGetTheProgramsOwnNamesAndNothingElseIsRewritten) {
    ItemRecord item = Message(
        "<img src=\"cid:logo@x\"><img src='CID:%3Cphoto%40x%3E'><img src=cid:logo@x>"
        "<img src=\"cid:missing\"><img src=\"http://remote/a.png\">"
        "<div style=\"background:url(cid:gif1)\">text cid: stays</div>");
    item.attachments.push_back(Image("<logo@x>", kPng));
    item.attachments.push_back(Image("photo@x", {0xFF, 0xD8, 0xFF, 0xE0}));
    item.attachments.push_back(Image("gif1", Bytes("GIF89a..")));
    item.attachments.push_back(Image("notanimage", Bytes("MZ\x90")));

    const PreviewPage page = BuildMessagePreview(item);
    EXPECT_EQ(page.html, std::string(kUtf8Bom) +
                             "<img src=\"cid-1.png\"><img src='cid-2.jpg'><img src=cid-1.png>"
                             "<img src=\"cid:missing\"><img src=\"http://remote/a.png\">"
                             "<div style=\"background:url(cid-3.gif)\">text cid: stays</div>");
    ASSERT_EQ(page.images.size(), 3u);
    EXPECT_EQ(page.images[0].fileName, "cid-1.png");
    EXPECT_EQ(*page.images[0].data, kPng);
    EXPECT_EQ(page.images[2].fileName, "cid-3.gif");

    // An attachment whose bytes are no image we know is not offered to the browser.
    ItemRecord exe = Message("<img src=\"cid:notanimage\">");
    exe.attachments.push_back(Image("notanimage", Bytes("MZ\x90")));
    EXPECT_TRUE(BuildMessagePreview(exe).images.empty());
}

TEST(PreviewPage, FieldsAndNoticesAreEscapedText) {
    const PreviewPage fields =
        BuildFieldsPreview({{"Contact Name", "Ann <Lee>"}, {"Mobile Phone", ""}}, "note & body");
    EXPECT_NE(fields.html.find("<th>Contact Name</th><td>Ann &lt;Lee&gt;</td>"), std::string::npos);
    EXPECT_EQ(fields.html.find("Mobile Phone"), std::string::npos);
    EXPECT_NE(fields.html.find("note &amp; body"), std::string::npos);
    EXPECT_NE(BuildNoticePreview("changed <x>").html.find("changed &lt;x&gt;"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
