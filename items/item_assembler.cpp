#include "items/item_assembler.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <span>
#include <string>
#include <utility>

#include "items/property_parser.h"
#include "items/rtf_decompress.h"
#include "items/utf16.h"

namespace kestrel {
namespace {

constexpr uint16_t kTypeString8 = 0x001E;
constexpr uint16_t kTypeUnicode = 0x001F;
constexpr uint32_t kStringNamed = 0x0002;  // the id the parser gives string-named values

constexpr uint32_t kMessageCodePage = 0x3FFD;
constexpr uint32_t kInternetCodePage = 0x3FDE;

char At(std::string_view text, size_t i) {
    return i < text.size() ? text[i] : '\0';
}
char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The first count bytes compared exactly; a text that ends before count never matches a
// pattern that goes on.
bool LeadingBytesEqual(std::string_view pattern, std::string_view text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const char p = At(pattern, i);
        if (At(text, i) != p) return false;
        if (p == '\0') return true;
    }
    return true;
}

uint32_t LittleU32(const std::vector<uint8_t>& bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes.size() && i < 4; ++i) value |= uint32_t{bytes[i]} << (8 * i);
    return value;
}

// The code page to read 8-bit text with: the item's when we know it and it is an 8-bit
// one, else the fallback.
uint32_t NarrowCodePage(uint32_t codePage, uint32_t fallback) {
    if (codePage == 0 || CodePageName(codePage).empty()) return fallback;
    switch (codePage) {
        case 1200:
        case 1201:
        case 12000:
        case 12001:
            return fallback;
        default:
            return codePage;
    }
}

using ContactText = std::string ContactRecord::*;
struct ContactField {
    uint32_t propertyId;
    ContactText field;
};

// The contact's plain string fields; e-mail, gender and the two dates have rules of their
// own.
constexpr std::array kContactFields = {
    ContactField{0x3A16, &ContactRecord::companyName},
    ContactField{0x3A05, &ContactRecord::generation},
    ContactField{0x3A15, &ContactRecord::postalAddress},
    ContactField{0x3A17, &ContactRecord::title},
    ContactField{0x8005, &ContactRecord::fileUnder},
    ContactField{0x3A4A, &ContactRecord::customerId},
    ContactField{0x3A1C, &ContactRecord::mobilePhone},
    ContactField{0x3A43, &ContactRecord::hobbies},
    ContactField{0x3A11, &ContactRecord::surname},
    ContactField{0x3A06, &ContactRecord::givenName},
    ContactField{0x3A44, &ContactRecord::middleName},
    ContactField{0x3A09, &ContactRecord::homePhone},
    ContactField{0x3A08, &ContactRecord::businessPhone},
    ContactField{0x3A24, &ContactRecord::businessFax},
    ContactField{0x3A25, &ContactRecord::homeFax},
    ContactField{0x3A0C, &ContactRecord::language},
    ContactField{0x3A19, &ContactRecord::officeLocation},
    ContactField{0x3A21, &ContactRecord::pager},
    ContactField{0x3A2D, &ContactRecord::isdn},
    ContactField{0x3A2E, &ContactRecord::assistantPhone},
    ContactField{0x3A30, &ContactRecord::assistant},
    ContactField{0x3A46, &ContactRecord::profession},
    ContactField{0x3A48, &ContactRecord::spouseName},
    ContactField{0x3A57, &ContactRecord::companyMainPhone},
    ContactField{0x3A59, &ContactRecord::homeCity},
    ContactField{0x3A4E, &ContactRecord::managerName},
    ContactField{0x3A4F, &ContactRecord::nickname},
    ContactField{0x3A50, &ContactRecord::personalHomePage},
    ContactField{0x3A51, &ContactRecord::businessHomePage},
    ContactField{0x3A5A, &ContactRecord::homeCountry},
    ContactField{0x3A5B, &ContactRecord::homePostalCode},
    ContactField{0x3A5C, &ContactRecord::homeState},
    ContactField{0x3A5D, &ContactRecord::homeStreet},
    ContactField{0x3A5F, &ContactRecord::otherCity},
    ContactField{0x3A60, &ContactRecord::otherCountry},
    ContactField{0x3A62, &ContactRecord::otherState},
    ContactField{0x3A63, &ContactRecord::otherStreet},
    ContactField{0x3A1F, &ContactRecord::otherPhone},
    ContactField{0x801C, &ContactRecord::otherAddress},
    ContactField{0x3A61, &ContactRecord::otherPostalCode},
    ContactField{0x3A02, &ContactRecord::callbackPhone},
    ContactField{0x3A27, &ContactRecord::businessCity},
    ContactField{0x3A26, &ContactRecord::businessCountry},
    ContactField{0x3A28, &ContactRecord::businessState},
    ContactField{0x3A29, &ContactRecord::businessStreet},
    ContactField{0x3A2A, &ContactRecord::businessPostalCode},
    ContactField{0x801B, &ContactRecord::workAddress},
    ContactField{0x3A1E, &ContactRecord::carPhone},
    ContactField{0x3A18, &ContactRecord::department},
    ContactField{0x3A00, &ContactRecord::account},
    ContactField{0x3A2F, &ContactRecord::home2Phone},
    ContactField{0x8534, &ContactRecord::mileage},
    ContactField{0x3A2C, &ContactRecord::telex},
    ContactField{0x3A1D, &ContactRecord::radioPhone},
    ContactField{0x3A1B, &ContactRecord::business2Phone},
    ContactField{0x3A4B, &ContactRecord::ttyPhone},
    ContactField{0x3A07, &ContactRecord::governmentId},
    ContactField{0x3A10, &ContactRecord::organizationalId},
    ContactField{0x80D8, &ContactRecord::freeBusyLocation},
    ContactField{0x3A45, &ContactRecord::displayNamePrefix},
};

using MessageText = std::string MessageRecord::*;
struct MessageField {
    uint32_t propertyId;
    MessageText field;
};

// The message's plain string fields; two ids share a field where either may be stored,
// and the later one in the walk wins.
constexpr std::array kMessageFields = {
    MessageField{0x0E03, &MessageRecord::displayCc},
    MessageField{0x3A0F, &MessageRecord::commonName},
    MessageField{0x0042, &MessageRecord::senderName},
    MessageField{0x0064, &MessageRecord::senderAddress},
    MessageField{0x0065, &MessageRecord::senderAddress},
    MessageField{0x0070, &MessageRecord::conversationTopic},
    MessageField{0x0050, &MessageRecord::replyRecipientNames},
    MessageField{0x1042, &MessageRecord::inReplyTo},
    MessageField{0x0075, &MessageRecord::receivedByAddress},
    MessageField{0x0076, &MessageRecord::receivedByAddress},
    MessageField{0x0E04, &MessageRecord::displayTo},
    MessageField{0x6619, &MessageRecord::extraText},
};

using MessageBytes = std::vector<uint8_t> MessageRecord::*;
struct MessageRawField {
    uint32_t propertyId;
    MessageBytes field;
};

constexpr std::array kMessageRawFields = {
    MessageRawField{0x0E06, &MessageRecord::deliveryTime},
    MessageRawField{0x0039, &MessageRecord::submitTime},
};

template <typename Table>
auto FindField(const Table& table, uint32_t propertyId) -> decltype(&table[0]) {
    for (const auto& entry : table) {
        if (entry.propertyId == propertyId) return &entry;
    }
    return nullptr;
}

class Assembler {
  public:
    Assembler(ItemRecord& item, const AssembleOptions& options) : item_(item), options_(options) {}

    void Run(PropertyGroupList& groups) {
        attachmentsOnly_ = item_.currentAttachment.has_value();
        TakeCodePages(groups);
        try {
            for (size_t g = 0; g < groups.size(); ++g) {
                if (g > 0) ++pendingAdvance_;
                for (PropertyValue& value : groups[g].values) {
                    Dispatch(value);
                    value.data.reset();
                }
            }
        } catch (...) {
            // What was stored so far stays; the item layer fails soft.
        }
        FinishBody();
        RepairSubject();
    }

  private:
    // The code pages decide how every 8-bit string is read, and 0x3FFD comes after the
    // subject (0x0037) in a property context: they are looked up before the walk.
    void TakeCodePages(const PropertyGroupList& groups) {
        uint32_t messageCodePage = 0;
        uint32_t internetCodePage = 0;
        for (const PropertyGroup& group : groups) {
            for (const PropertyValue& value : group.values) {
                if (!value.hasData()) continue;
                if (value.propertyId == kMessageCodePage) messageCodePage = LittleU32(*value.data);
                if (value.propertyId == kInternetCodePage) {
                    internetCodePage = LittleU32(*value.data);
                }
            }
        }
        // The message's own context comes first; later calls (attachments) keep its values
        // in the record and use their own only for themselves.
        if (item_.messageCodePage == 0) item_.messageCodePage = messageCodePage;
        if (item_.internetCodePage == 0) item_.internetCodePage = internetCodePage;
        if (messageCodePage == 0) messageCodePage = item_.messageCodePage;
        if (internetCodePage == 0) internetCodePage = item_.internetCodePage;

        stringCodePage_ = NarrowCodePage(messageCodePage, options_.defaultCodePage);
        bodyCodePage_ = NarrowCodePage(internetCodePage, stringCodePage_);
        htmlCodePage_ = 0;
        for (uint32_t candidate : {internetCodePage, messageCodePage}) {
            if (candidate != 0 && !CodePageName(candidate).empty()) {
                htmlCodePage_ = candidate;
                break;
            }
        }
    }

    // Whether a value holds UTF-16: its type says so, or the file's variant when the type
    // is not a string type.
    bool IsWide(const PropertyValue& value) const {
        if (value.type == kTypeUnicode) return true;
        if (value.type == kTypeString8) return false;
        return options_.variant == PstVariant::Unicode;
    }

    std::string Decode(std::span<const uint8_t> bytes, bool wide, uint32_t codePage) const {
        if (options_.variant == PstVariant::Unknown) return {};
        if (wide) return NarrowUtf16(bytes.data(), bytes.size());
        // 8-bit text ends at its first zero byte, as the UTF-16 text does at its zero unit.
        auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
        return ConvertToUtf8(std::span<const uint8_t>(bytes.begin(), end), codePage);
    }

    std::string Text(const PropertyValue& value, uint32_t codePage) const {
        return Decode(*value.data, IsWide(value), codePage);
    }
    std::string Text(const PropertyValue& value) const { return Text(value, stringCodePage_); }

    MessageRecord& Message() {
        if (!item_.message) item_.message = std::make_unique<MessageRecord>();
        return *item_.message;
    }
    FolderRecord& Folder() {
        if (!item_.folder) item_.folder = std::make_unique<FolderRecord>();
        return *item_.folder;
    }
    ContactRecord& Contact() {
        if (!item_.contact) item_.contact = std::make_unique<ContactRecord>();
        return *item_.contact;
    }
    StoreRecord& Store() {
        if (!item_.store) item_.store = std::make_unique<StoreRecord>();
        return *item_.store;
    }
    JournalRecord& Journal() {
        if (!item_.journal) item_.journal = std::make_unique<JournalRecord>();
        return *item_.journal;
    }
    CalendarRecord& Calendar() {
        if (!item_.calendar) item_.calendar = std::make_unique<CalendarRecord>();
        return *item_.calendar;
    }

    void Dispatch(PropertyValue& value) {
        const uint32_t id = value.propertyId;
        if (id == 0x3701 || id == 0x3704 || id == 0x3707 || id == 0x67F2) {
            Attachment(value);
            return;
        }
        // An attachment's display name or record key is not the message's.
        if (attachmentsOnly_) return;
        if (!value.hasData()) return;
        std::vector<uint8_t>& data = *value.data;

        if (auto* entry = FindField(kMessageFields, id)) {
            Message().*(entry->field) = Text(value);
            return;
        }
        if (auto* entry = FindField(kMessageRawFields, id)) {
            Message().*(entry->field) = std::move(data);
            return;
        }
        if (auto* entry = FindField(kContactFields, id)) {
            Contact().*(entry->field) = Text(value);
            return;
        }

        switch (id) {
            case 0x0037:
                Subject(value);
                break;
            case 0x001A:
                item_.className = Text(value);
                item_.kind = ClassifyMessageClass(item_.className);
                break;
            case 0x3613:
                item_.className = Text(value);
                item_.kind = ClassifyContainerClass(item_.className);
                break;
            case 0x3001:
                item_.displayName = Text(value);
                break;
            case 0x0FF9:
                item_.recordKey = std::move(data);
                break;

            case 0x0E07:
                Message().messageFlags = LittleU32(data);
                break;
            case 0x0E1D:
                normalizedSubject_ = Text(value);
                break;
            case 0x1000:
                if (options_.measureBody && IsWide(value)) {
                    measuredBody_ = std::move(data);
                    break;
                }
                measuredBody_.reset();
                Message().body = Text(value, bodyCodePage_);
                break;
            case 0x1013: {
                MessageRecord& message = Message();
                if (options_.measureBody) {
                    // Only whether there is HTML text matters: any byte of 8-bit HTML
                    // gives text, UTF-16 HTML does up to its first zero unit.
                    message.bodyHtml.clear();
                    message.hasHtmlText = value.type == kTypeUnicode
                                              ? NarrowUtf16Length(data.data(), data.size()) > 0
                                              : !data.empty();
                } else {
                    message.bodyHtml = Html(value);
                    message.hasHtmlText = !message.bodyHtml.empty();
                }
                break;
            }
            case 0x1009:
                Rtf(data);
                break;
            case kStringNamed:
                NamedValue(data);
                break;

            case 0x3602:
                Folder().contentCount = LittleU32(data);
                break;
            case 0x3603:
                Folder().unreadCount = LittleU32(data);
                break;
            case 0x360A:
                Folder().hasSubfolders =
                    std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0; });
                break;

            case 0x35E3:
                Store().wastebasketEntryId = std::move(data);
                break;
            case 0x35E7:
                Store().finderEntryId = std::move(data);
                break;
            case 0x35E0:
                Store().ipmSubtreeEntryId = std::move(data);
                break;
            case 0x7C07:
                Store().rootEntry.assign(data.begin(),
                                         data.begin() + std::min<size_t>(data.size(), 24));
                break;
            case 0x35DF:
                Store().validFolderMask = LittleU32(data);
                break;

            case 0x3003:
            case 0x8048:
            case 0x8084:
                EmailAddress(value);
                break;
            case 0x3A4D:
                Contact().gender = static_cast<uint16_t>(LittleU32(data));
                break;
            case 0x3A41:
                Contact().weddingAnniversary = std::move(data);
                break;
            case 0x3A42:
                Contact().birthday = std::move(data);
                break;

            case 0x8700:
            case 0x8712:
                Journal().entryType = Text(value);
                break;

            case 0x8236:
                Calendar().clipEnd = std::move(data);
                break;
            case 0x8208:
                Calendar().location = Text(value);
                break;
            case 0x8235:
                Calendar().clipStart = std::move(data);
                break;
            default:
                break;
        }
    }

    // Only the 0x01 marker starts a prefix-marked subject; the character after it is the
    // prefix's length. Anything else, accented capitals included, is plain text.
    void Subject(const PropertyValue& value) {
        MessageRecord& message = Message();
        const std::vector<uint8_t>& data = *value.data;
        if (data.empty()) {
            message.subject.reset();
            return;
        }
        auto subject = std::make_unique<SubjectRecord>();
        const bool wide = IsWide(value);
        const std::span<const uint8_t> bytes(data);
        const size_t unit = wide ? 2 : 1;
        const bool marked =
            wide ? (data.size() >= 2 && data[0] == 0x01 && data[1] == 0x00) : data[0] == 0x01;
        if (marked) {
            subject->prefixMarker = 1;
            if (data.size() >= 2 * unit) {
                subject->prefixLength =
                    wide ? uint32_t{data[2]} | (uint32_t{data[3]} << 8) : uint32_t{data[1]};
            }
            const size_t skip = std::min(data.size(), 2 * unit);
            subject->text = Decode(bytes.subspan(skip), wide, stringCodePage_);
        } else {
            subject->text = Decode(bytes, wide, stringCodePage_);
        }
        message.subject = std::move(subject);
    }

    // A body kept aside for measuring: a sticky note's is its text, anyone else's is only
    // measured. The class is known only once every value is taken.
    void FinishBody() {
        if (!measuredBody_) return;
        const std::vector<uint8_t>& bytes = *measuredBody_;
        MessageRecord& message = Message();
        if (item_.className == "IPM.StickyNote") {
            message.body = NarrowUtf16(bytes.data(), bytes.size());
        } else {
            message.body.clear();
            message.bodyLength = NarrowUtf16Length(bytes.data(), bytes.size());
        }
        measuredBody_.reset();
    }

    // A sound message's subject ends with its normalized subject (0x0E1D), the subject
    // without its prefix. When it does not, while the normalized subject and the
    // conversation topic (0x0070), stored apart from it, agree with each other, the
    // subject's own bytes are the damaged copy: its text is the prefix it had followed by
    // the normalized subject.
    void RepairSubject() {
        if (!item_.message || !item_.message->subject || normalizedSubject_.empty()) return;
        MessageRecord& message = *item_.message;
        std::string& text = message.subject->text;
        if (normalizedSubject_ != message.conversationTopic || text.ends_with(normalizedSubject_))
            return;
        // As many characters as the normalized subject has are replaced at the end.
        size_t count = static_cast<size_t>(
            std::count_if(normalizedSubject_.begin(), normalizedSubject_.end(), IsUtf8Lead));
        size_t at = text.size();
        while (count > 0 && at > 0) {
            if (IsUtf8Lead(text[--at])) --count;
        }
        text = text.substr(0, at) + normalizedSubject_;
    }

    static bool IsUtf8Lead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

    // The HTML body is bytes in the internet code page (else the message's); without
    // either, UTF-8 is kept as it is and anything else read as the default code page.
    std::vector<uint8_t> Html(const PropertyValue& value) const {
        const std::vector<uint8_t>& data = *value.data;
        std::string text;
        if (value.type == kTypeUnicode) {
            text = NarrowUtf16(data.data(), data.size());
        } else if (htmlCodePage_ != 0) {
            text = ConvertToUtf8(data, htmlCodePage_);
        } else if (IsValidUtf8(data)) {
            return data;
        } else {
            text = ConvertToUtf8(data, options_.defaultCodePage);
        }
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    void Rtf(const std::vector<uint8_t>& data) {
        MessageRecord& message = Message();
        if (options_.checkRtfOnly) {
            if (RtfDecodes(data)) message.hasRtfBody = true;
            return;
        }
        RtfDecompressResult result = DecompressRtf(data);
        if (!result.ok) return;
        message.rtfBody = std::move(result.rtf);
        message.hasRtfBody = true;
        // Only the caller's cache folder: never the current directory.
        if (!options_.rtfFile.empty() && options_.rtfFile.is_absolute()) {
            std::ofstream out(options_.rtfFile, std::ios::binary | std::ios::trunc);
            out.write(message.rtfBody.data(), static_cast<std::streamsize>(message.rtfBody.size()));
        }
    }

    void NamedValue(std::vector<uint8_t>& data) {
        if (namedCount_ == 0) {
            Message().namedValue1 = std::move(data);
        } else if (namedCount_ == 1) {
            Message().namedValue2 = std::move(data);
        }
        if (namedCount_ < 2) ++namedCount_;
    }

    void EmailAddress(const PropertyValue& value) {
        std::string address = Text(value);
        if (address.find('@') == std::string::npos) return;
        Contact().emailAddress = std::move(address);
    }

    // The i-th group of a call fills the attachment i records after the current one: the
    // first attachment property of a later group moves on by the boundaries passed.
    void Attachment(PropertyValue& value) {
        if (pendingAdvance_ > 0 && item_.currentAttachment) {
            const size_t next = *item_.currentAttachment + pendingAdvance_;
            if (next < item_.attachments.size()) {
                item_.currentAttachment = next;
            } else {
                item_.currentAttachment.reset();
            }
        }
        pendingAdvance_ = 0;
        if (!item_.currentAttachment || *item_.currentAttachment >= item_.attachments.size()) {
            return;
        }
        AttachmentRecord& attachment = item_.attachments[*item_.currentAttachment];
        switch (value.propertyId) {
            case 0x3701:
                if (value.hasData()) {
                    attachment.dataSize = static_cast<uint32_t>(value.data->size());
                    attachment.data = std::move(*value.data);
                } else if (value.measuredSize) {
                    attachment.dataSize = static_cast<uint32_t>(*value.measuredSize);
                } else {
                    // The subnode that holds the data, for whoever reads it later.
                    attachment.rowId = value.typeOrNid;
                }
                break;
            case 0x3704:
                if (value.hasData()) attachment.shortName = Text(value);
                break;
            case 0x3707:
                if (value.hasData()) attachment.longName = Text(value);
                break;
            case 0x67F2:
                if (value.hasData()) attachment.rowId = LittleU32(*value.data);
                break;
            default:
                break;
        }
    }

    ItemRecord& item_;
    const AssembleOptions& options_;
    uint32_t stringCodePage_ = kWindows1252;
    uint32_t bodyCodePage_ = kWindows1252;
    uint32_t htmlCodePage_ = 0;  // 0: none named
    size_t pendingAdvance_ = 0;
    int namedCount_ = 0;
    bool attachmentsOnly_ = false;   // a call for attachment rows or an attachment's context
    std::string normalizedSubject_;  // 0x0E1D, read only to check the subject against
    std::optional<std::vector<uint8_t>> measuredBody_;  // a UTF-16 body kept for FinishBody
};

struct ClassRule {
    std::string_view pattern;
    size_t count;  // 0: whole-string equality, ignoring case
    ItemKind kind;
};

constexpr std::array kMessageClassRules = {
    ClassRule{"IPM.Note", 8, ItemKind::Mail},
    ClassRule{"IPM.x-", 8, ItemKind::Mail},
    ClassRule{"IPM", 0, ItemKind::Mail},
    ClassRule{"IPM.Contact", 11, ItemKind::Contact},
    ClassRule{"IPF.Contact", 11, ItemKind::Contact},
    ClassRule{"IPM.Contact", 9, ItemKind::Contact},
    ClassRule{"REPORT.IPM.Note", 15, ItemKind::Report},
    ClassRule{"IPM.Activity", 12, ItemKind::Journal},
    ClassRule{"IPM.Appointment", 15, ItemKind::Calendar},
    ClassRule{"IPC.MS.Outlook.AgingProperties", 13, ItemKind::Other},
};

constexpr std::array kContainerClassRules = {
    ClassRule{"IPF.Note", 8, ItemKind::Mail},
    ClassRule{"IPF.Contact", 11, ItemKind::Contact},
    ClassRule{"IPF.Contact", 9, ItemKind::Contact},
    ClassRule{"IPM.Contact", 9, ItemKind::Contact},
    ClassRule{"IPF.Journal", 11, ItemKind::Journal},
    ClassRule{"IPF.Appointment", 15, ItemKind::Calendar},
    ClassRule{"IPF.StickyNote", 14, ItemKind::StickyNote},
    ClassRule{"IPF.Task", 8, ItemKind::Task},
    ClassRule{"IPC.MS.Outlook.AgingProperties", 13, ItemKind::Other},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Upper(x) == Upper(y); });
}

// A class text as the comparisons see it: up to its first zero byte.
std::string_view ClassText(std::string_view text) {
    return text.substr(0, std::min(text.size(), text.find('\0')));
}

}  // namespace

bool ClassPrefixMatch(std::string_view pattern, std::string_view text, size_t count) {
    size_t i = 0;
    while (At(pattern, i) != '\0' && At(text, i) != '\0' && i < count &&
           Upper(At(pattern, i)) == Upper(At(text, i))) {
        ++i;
    }
    if (At(pattern, i) == '\0' || At(text, i) == '\0') return true;
    return i == count && Upper(At(text, i)) == Upper(At(pattern, i));
}

ItemKind ClassifyMessageClass(std::string_view className) {
    const std::string_view text = ClassText(className);
    for (const ClassRule& rule : kMessageClassRules) {
        const bool match = rule.count == 0 ? EqualsIgnoringCase(rule.pattern, text)
                                           : ClassPrefixMatch(rule.pattern, text, rule.count);
        if (match) return rule.kind;
    }
    return ItemKind::Other;
}

ItemKind ClassifyContainerClass(std::string_view className) {
    const std::string_view text = ClassText(className);
    for (const ClassRule& rule : kContainerClassRules) {
        if (LeadingBytesEqual(rule.pattern, text, rule.count)) return rule.kind;
    }
    return ItemKind::Other;
}

int AssembleItem(PropertyGroupList& groups, ItemRecord& item, const AssembleOptions& options) {
    Assembler(item, options).Run(groups);
    return 0;
}

}  // namespace kestrel
