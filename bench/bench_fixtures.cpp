#include "bench_fixtures.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "items/named_property_map.h"
#include "items/rtf_decompress.h"
#include "storage/btree_loader.h"
#include "support/mailbox_builder.h"

namespace kestrel::bench {

using namespace kestrel::test;

namespace {

std::mutex cacheMutex;

constexpr std::array kAsciiWords = {"meeting", "report", "budget", "the",      "and",
                                    "project", "please", "review", "attached", "figures",
                                    "quarter", "team",   "update", "schedule", "office"};
constexpr std::array kLatinWords = {"réunion", "über",  "Größe",  "año",    "façade",
                                    "naïve",   "señor", "Zürich", "œuvre",  "déjà",
                                    "Ärger",   "crème", "rôle",   "Straße", "ça"};
constexpr std::array kOtherWords = {"встреча", "отчёт",  "Αθήνα",  "προϋπολογισμός", "会议",
                                    "报告",    "予算",   "데이터", "עדכון",          "📎",
                                    "تقرير",   "проект", "日程",   "Ελλάδα",         "🚀"};

void AppendWord(std::string& text, Random& random, const std::string& kind) {
    const size_t pick = random.Below(15);
    if (kind == "ascii" || random.Chance(70)) {
        text += kAsciiWords[pick];
    } else if (kind == "latin" || random.Chance(50)) {
        text += kLatinWords[pick];
    } else {
        text += kOtherWords[pick];
    }
}

// Data blocks hold something that looks like a heap page; only its size matters here.
std::vector<uint8_t> Payload(size_t size, uint64_t seed) {
    std::vector<uint8_t> bytes(size);
    Random random(seed);
    for (auto& b : bytes) b = static_cast<uint8_t>(random.Next());
    return bytes;
}

}  // namespace

std::string SampleText(const std::string& kind, size_t size, uint64_t seed) {
    Random random(seed);
    std::string text;
    text.reserve(size + 32);
    size_t sentence = 0;
    while (text.size() < size) {
        AppendWord(text, random, kind);
        if (++sentence % 12 == 0) {
            text += ".\r\n";
        } else {
            text += ' ';
        }
    }
    return text;
}

std::vector<uint8_t> ToUtf16(const std::string& utf8) {
    return Utf16(utf8);
}

std::string SampleRtf(size_t size, uint64_t seed) {
    std::string rtf =
        "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\fbidis \\deff0{\\fonttbl\n{\\f0\\fswiss "
        "Arial;}\n{\\f1\\fmodern Courier New;}\n}\n{\\colortbl\\red0\\green0\\blue0;}\n"
        "\\uc1\\pard\\plain\\deftab360 \\f0\\fs20 ";
    Random random(seed);
    std::string line;
    while (rtf.size() < size) {
        line.clear();
        for (int i = 0; i < 10; ++i) {
            AppendWord(line, random, "ascii");
            line += ' ';
        }
        rtf += line;
        rtf += random.Chance(30) ? "\\par\r\n\\pard\\plain\\f0\\fs20 " : "\\par\r\n";
    }
    rtf += "}";
    return rtf;
}

std::vector<uint8_t> CompressLzfu(const std::string& rtf) {
    // The dictionary starts with the format's preset text; matches are only looked for in
    // the document itself, through the last position of each 3-byte sequence.
    constexpr size_t kPreset = 207;
    constexpr size_t kWindow = 4095;
    std::vector<uint8_t> content;
    std::map<uint32_t, size_t> last;  // 3-byte key -> input position
    size_t writePos = kPreset;
    size_t i = 0;
    bool ended = false;
    while (!ended) {
        const size_t controlAt = content.size();
        content.push_back(0);
        uint8_t control = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (i >= rtf.size()) {
                // The end marker: a reference to the current write position.
                control |= static_cast<uint8_t>(1u << bit);
                const size_t word = writePos << 4;
                content.push_back(static_cast<uint8_t>(word >> 8));
                content.push_back(static_cast<uint8_t>(word));
                ended = true;
                break;
            }
            size_t length = 0;
            size_t distance = 0;
            if (i + 3 <= rtf.size()) {
                const uint32_t key =
                    static_cast<uint8_t>(rtf[i]) | (static_cast<uint8_t>(rtf[i + 1]) << 8) |
                    (static_cast<uint32_t>(static_cast<uint8_t>(rtf[i + 2])) << 16);
                auto it = last.find(key);
                if (it != last.end() && i - it->second <= kWindow) {
                    distance = i - it->second;
                    while (length < 17 && i + length < rtf.size() &&
                           rtf[i + length] == rtf[i + length - distance]) {
                        ++length;
                    }
                }
                last[key] = i;
            }
            if (length >= 2) {
                control |= static_cast<uint8_t>(1u << bit);
                const size_t offset = (writePos + 4096 - distance) & 4095;
                const size_t word = (offset << 4) | (length - 2);
                content.push_back(static_cast<uint8_t>(word >> 8));
                content.push_back(static_cast<uint8_t>(word));
            } else {
                length = 1;
                content.push_back(static_cast<uint8_t>(rtf[i]));
            }
            i += length;
            writePos = (writePos + length) & 4095;
        }
        content[controlAt] = control;
    }
    std::vector<uint8_t> out(16);
    auto le32 = [&out](size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) out[at + k] = static_cast<uint8_t>(v >> (8 * k));
    };
    le32(0, static_cast<uint32_t>(content.size() + 12));
    le32(4, static_cast<uint32_t>(rtf.size()));
    le32(8, 0x75465A4C);  // "LZFu"
    le32(12, RtfCrc(content));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

const std::vector<uint8_t>& IndexImage(PstVariant variant, size_t nodes) {
    static std::map<std::pair<PstVariant, size_t>, std::vector<uint8_t>> cache;
    std::lock_guard lock(cacheMutex);
    auto& image = cache[{variant, nodes}];
    if (!image.empty()) return image;

    PstBuilder pst(variant);
    pst.AddNode(kNidMessageStore, pst.AddBlock(Payload(120, 1)));
    pst.AddNode(kNidRootFolder, pst.AddBlock(Payload(200, 2)), 0, kNidRootFolder);
    uint32_t folder = 0;
    for (size_t i = 0; i < nodes; ++i) {
        if (i % 1000 == 0) {
            folder = MakeNid(kNidTypeNormalFolder, static_cast<uint32_t>(0x400 + i / 1000));
            pst.AddNode(folder, pst.AddBlock(Payload(300, i)), 0, kNidRootFolder);
        }
        const uint32_t nid = MakeNid(kNidTypeNormalMessage, static_cast<uint32_t>(0x10000 + i));
        const uint64_t data = pst.AddBlock(Payload(64 + i % 512, i));
        uint64_t sub = 0;
        if (i % 3 == 0) {
            const uint64_t value = pst.AddBlock(Payload(100, i + 7));
            sub = pst.AddSubnodes({{0x671, value, 0}});
        }
        pst.AddNode(nid, data, sub, folder);
    }
    image = pst.Build();
    return image;
}

const Mailbox& TypicalMailbox(PstVariant variant, size_t messages) {
    static std::map<std::pair<PstVariant, size_t>, Mailbox> cache;
    std::lock_guard lock(cacheMutex);
    Mailbox& box = cache[{variant, messages}];
    if (!box.image.empty()) return box;

    MailboxBuilder builder(variant);
    box.folder = builder.AddFolder(builder.Folder("Inbox"), "Bench");
    Random random(42);
    for (size_t i = 0; i < messages; ++i) {
        // Ansi files hold Windows-1252 text: no scripts beyond Latin there.
        const bool foreign = random.Chance(15) && variant != PstVariant::Ansi;
        const std::string kind = foreign ? "mixed" : (random.Chance(20) ? "latin" : "ascii");
        // Mostly short bodies, some long ones, as real mailboxes have.
        const size_t bodySize =
            random.Chance(10) ? 8000 + random.Below(52000) : 200 + random.Below(3000);
        Message m = MakeMail(SampleText(kind, 20 + random.Below(60), i), "Ann Lee",
                             "ann.lee@example.com", SampleText(kind, bodySize, i + 1));
        m.recipients = {{"Pat Morgan", "pat@example.com"}, {"Sam Ortiz", "sam@example.com", 2}};
        m.deliveryTime = FileTime(2007, 1, 1 + static_cast<int>(i % 28), 9, 30);
        m.submitTime = *m.deliveryTime - 600000000ULL;
        if (random.Chance(25)) m.subjectPrefix = "RE: ";
        if (random.Chance(33)) {
            m.htmlBody =
                "<html><body><p>" + SampleText(kind, bodySize, i + 2) + "</p></body></html>";
        }
        if (random.Chance(20)) m.rtfCompressed = CompressLzfu(SampleRtf(bodySize, i + 3));
        if (random.Chance(25)) {
            const size_t count = 1 + random.Below(2);
            for (size_t a = 0; a < count; ++a) {
                Attachment attachment;
                attachment.shortName = "FILE" + std::to_string(a) + ".PDF";
                attachment.longName =
                    "document " + std::to_string(i) + "-" + std::to_string(a) + ".pdf";
                attachment.data = Payload(1 + random.Below(64 * 1024), i * 3 + a);
                attachment.mimeType = "application/pdf";
                m.attachments.push_back(std::move(attachment));
            }
        }
        box.messages.push_back(builder.AddMessage(box.folder, m));
    }
    box.messageCount = messages;
    box.image = builder.Build();
    return box;
}

std::filesystem::path ImageFile(const std::vector<uint8_t>& image, const std::string& name) {
    const char* folder = std::getenv("KESTREL_BENCH_DIR");
    const std::filesystem::path dir = folder && *folder ? folder : "/tmp/kestrel-bench";
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return path;
}

LoadedFile OpenLoaded(const std::vector<uint8_t>& image) {
    LoadedFile file;
    file.storage = std::make_unique<PstContext>();
    OpenPstImage(*file.storage, image);
    if (LoadIndexes(*file.storage) != 0) {
        throw std::runtime_error("the fixture's indexes do not load");
    }
    file.items = std::make_unique<ItemContext>(*file.storage);
    LoadNamedPropertyMap(*file.items);
    return file;
}

}  // namespace kestrel::bench
