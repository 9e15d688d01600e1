#include "items/rtf_html.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/quiet_analysis.h"
#include "support/test_paths.h"

namespace kestrel {
namespace {

// Every RTF body of the corpus that says it was written from HTML gives an HTML document
// back, and the others give none.
TEST(RtfHtmlCorpus, EncapsulatedBodiesGiveTheirHtml) {
    KESTREL_REQUIRE_CORPUS();
    size_t encapsulated = 0;
    size_t plain = 0;
    for (const auto& file : test::CorpusFiles()) {
        SCOPED_TRACE(file.filename().string());
        AnalysisResult result;
        std::shared_ptr<ItemSource> source;
        test::AnalyseQuietly(file.string(), result, false, &source);
        if (!source) continue;
        for (const MailFolderEntry& folder : result.folders.entries()) {
            for (const MessageSummary& message : folder.messages) {
                std::unique_ptr<FullItem> full;
                try {
                    full = source->Load(message.nid);
                } catch (const std::exception&) {
                    continue;
                }
                if (!full || !full->item->message || !full->item->message->hasRtfBody) continue;
                const std::string& rtf = full->item->message->rtfBody;
                const auto html = HtmlFromRtf(rtf);
                const size_t header = rtf.find("\\fromhtml1");
                if (header != std::string::npos && header < 200) {
                    ++encapsulated;
                    ASSERT_TRUE(html.has_value()) << message.nid;
                    std::string lower = *html;
                    for (char& c : lower) c = static_cast<char>(std::tolower(c));
                    EXPECT_NE(lower.find("<html"), std::string::npos) << message.nid;
                    EXPECT_NE(lower.find("</html>"), std::string::npos) << message.nid;
                    EXPECT_EQ(html->find("\\htmltag"), std::string::npos) << message.nid;
                } else {
                    ++plain;
                    EXPECT_FALSE(html.has_value()) << message.nid;
                }
            }
        }
    }
    std::printf("RTF bodies: %zu from HTML, %zu others\n", encapsulated, plain);
    EXPECT_GT(encapsulated, 0u);
}

}  // namespace
}  // namespace kestrel
