#include "items/item_assembler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "items/dist_list.h"
#include "items/property_tags.h"
#include "items/property_text.h"
#include "items/rtf_decompress.h"
#include "items/utf16.h"

namespace kestrel {
namespace {

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

bool EqualsIgnoringCase(std::string_view a, std::string_view b);

using ContactText = std::string ContactRecord::*;
struct ContactField {
    uint32_t propertyId;
    ContactText field;
};

// The contact's plain string fields; e-mail, gender and the two dates have rules of their
// own.
constexpr std::array kContactFields = {
    ContactField{kPidTagCompanyName, &ContactRecord::companyName},
    ContactField{kPidTagGeneration, &ContactRecord::generation},
    ContactField{kPidTagPostalAddress, &ContactRecord::postalAddress},
    ContactField{kPidTagTitle, &ContactRecord::title},
    ContactField{kPidLidFileUnder, &ContactRecord::fileUnder},
    ContactField{kPidTagCustomerId, &ContactRecord::customerId},
    ContactField{kPidTagMobileTelephoneNumber, &ContactRecord::mobilePhone},
    ContactField{kPidTagHobbies, &ContactRecord::hobbies},
    ContactField{kPidTagSurname, &ContactRecord::surname},
    ContactField{kPidTagGivenName, &ContactRecord::givenName},
    ContactField{kPidTagMiddleName, &ContactRecord::middleName},
    ContactField{kPidTagHomeTelephoneNumber, &ContactRecord::homePhone},
    ContactField{kPidTagBusinessTelephoneNumber, &ContactRecord::businessPhone},
    ContactField{kPidTagBusinessFaxNumber, &ContactRecord::businessFax},
    ContactField{kPidTagHomeFaxNumber, &ContactRecord::homeFax},
    ContactField{kPidTagLanguage, &ContactRecord::language},
    ContactField{kPidTagOfficeLocation, &ContactRecord::officeLocation},
    ContactField{kPidTagPagerTelephoneNumber, &ContactRecord::pager},
    ContactField{kPidTagIsdnNumber, &ContactRecord::isdn},
    ContactField{kPidTagAssistantTelephoneNumber, &ContactRecord::assistantPhone},
    ContactField{kPidTagAssistant, &ContactRecord::assistant},
    ContactField{kPidTagProfession, &ContactRecord::profession},
    ContactField{kPidTagSpouseName, &ContactRecord::spouseName},
    ContactField{kPidTagCompanyMainTelephoneNumber, &ContactRecord::companyMainPhone},
    ContactField{kPidTagHomeAddressCity, &ContactRecord::homeCity},
    ContactField{kPidTagManagerName, &ContactRecord::managerName},
    ContactField{kPidTagNickname, &ContactRecord::nickname},
    ContactField{kPidTagPersonalHomePage, &ContactRecord::personalHomePage},
    ContactField{kPidTagBusinessHomePage, &ContactRecord::businessHomePage},
    ContactField{kPidTagHomeAddressCountry, &ContactRecord::homeCountry},
    ContactField{kPidTagHomeAddressPostalCode, &ContactRecord::homePostalCode},
    ContactField{kPidTagHomeAddressStateOrProvince, &ContactRecord::homeState},
    ContactField{kPidTagHomeAddressStreet, &ContactRecord::homeStreet},
    ContactField{kPidTagOtherAddressCity, &ContactRecord::otherCity},
    ContactField{kPidTagOtherAddressCountry, &ContactRecord::otherCountry},
    ContactField{kPidTagOtherAddressStateOrProvince, &ContactRecord::otherState},
    ContactField{kPidTagOtherAddressStreet, &ContactRecord::otherStreet},
    ContactField{kPidTagOtherTelephoneNumber, &ContactRecord::otherPhone},
    ContactField{kPidLidOtherAddress, &ContactRecord::otherAddress},
    ContactField{kPidTagOtherAddressPostalCode, &ContactRecord::otherPostalCode},
    ContactField{kPidTagCallbackTelephoneNumber, &ContactRecord::callbackPhone},
    ContactField{kPidTagBusinessAddressCity, &ContactRecord::businessCity},
    ContactField{kPidTagBusinessAddressCountry, &ContactRecord::businessCountry},
    ContactField{kPidTagBusinessAddressStateOrProvince, &ContactRecord::businessState},
    ContactField{kPidTagBusinessAddressStreet, &ContactRecord::businessStreet},
    ContactField{kPidTagBusinessAddressPostalCode, &ContactRecord::businessPostalCode},
    ContactField{kPidLidWorkAddress, &ContactRecord::workAddress},
    ContactField{kPidTagCarTelephoneNumber, &ContactRecord::carPhone},
    ContactField{kPidTagDepartmentName, &ContactRecord::department},
    ContactField{kPidTagAccount, &ContactRecord::account},
    ContactField{kPidTagHome2TelephoneNumber, &ContactRecord::home2Phone},
    ContactField{kPidLidMileage, &ContactRecord::mileage},
    ContactField{kPidTagTelexNumber, &ContactRecord::telex},
    ContactField{kPidTagRadioTelephoneNumber, &ContactRecord::radioPhone},
    ContactField{kPidTagBusiness2TelephoneNumber, &ContactRecord::business2Phone},
    ContactField{kPidTagTtyTddPhoneNumber, &ContactRecord::ttyPhone},
    ContactField{kPidTagGovernmentIdNumber, &ContactRecord::governmentId},
    ContactField{kPidTagOrganizationalIdNumber, &ContactRecord::organizationalId},
    ContactField{kPidLidFreeBusyLocation, &ContactRecord::freeBusyLocation},
    ContactField{kPidTagDisplayNamePrefix, &ContactRecord::displayNamePrefix},
};

using MessageText = std::string MessageRecord::*;
struct MessageField {
    uint32_t propertyId;
    MessageText field;
};

// The message's plain string fields; two ids share a field where either may be stored,
// and the later one in the walk wins.
constexpr std::array kMessageFields = {
    MessageField{kPidTagDisplayCc, &MessageRecord::displayCc},
    MessageField{kPidTagMessageHandlingSystemCommonName, &MessageRecord::commonName},
    MessageField{kPidTagSentRepresentingName, &MessageRecord::senderName},
    MessageField{kPidTagSentRepresentingAddressType, &MessageRecord::senderAddress},
    MessageField{kPidTagSentRepresentingEmailAddress, &MessageRecord::senderAddress},
    MessageField{kPidTagConversationTopic, &MessageRecord::conversationTopic},
    MessageField{kPidTagReplyRecipientNames, &MessageRecord::replyRecipientNames},
    MessageField{kPidTagInReplyToId, &MessageRecord::inReplyTo},
    MessageField{kPidTagReceivedByAddressType, &MessageRecord::receivedByAddress},
    MessageField{kPidTagReceivedByEmailAddress, &MessageRecord::receivedByAddress},
    MessageField{kPidTagDisplayTo, &MessageRecord::displayTo},
    MessageField{kPidTagUserEntryId, &MessageRecord::extraText},
};

using MessageBytes = std::vector<uint8_t> MessageRecord::*;
struct MessageRawField {
    uint32_t propertyId;
    MessageBytes field;
};

constexpr std::array kMessageRawFields = {
    MessageRawField{kPidTagMessageDeliveryTime, &MessageRecord::deliveryTime},
    MessageRawField{kPidTagClientSubmitTime, &MessageRecord::submitTime},
};

// What only a full load reads: the fields a saved message needs and the lists never show.
constexpr std::array kFullMessageFields = {
    MessageField{kPidTagTransportMessageHeaders, &MessageRecord::transportHeaders},
    MessageField{kPidTagInternetMessageId, &MessageRecord::internetMessageId},
    MessageField{kPidTagInternetReferences, &MessageRecord::internetReferences},
    MessageField{kPidTagSenderSmtpAddress, &MessageRecord::senderSmtpAddress},
    MessageField{kPidTagSentRepresentingSmtpAddress, &MessageRecord::sentRepresentingSmtpAddress},
    MessageField{kPidTagSenderEmailAddress, &MessageRecord::senderEmailAddress},
    MessageField{kPidTagSenderAddressType, &MessageRecord::senderAddressType},
};

constexpr std::array kFullMessageRawFields = {
    MessageRawField{kPidTagCreationTime, &MessageRecord::creationTime},
    MessageRawField{kPidTagLastModificationTime, &MessageRecord::lastModificationTime},
};

bool IsFullAttachmentProperty(uint32_t id) {
    return id == kPidTagAttachMimeTag || id == kPidTagAttachMethod || id == kPidTagAttachFlags;
}

// A field table's property ids in order, each with its entry's position: every value of
// every item is looked up in these tables, a search instead of a scan.
template <const auto& Table>
constexpr auto SortedFieldIds() {
    std::array<std::pair<uint32_t, uint16_t>, Table.size()> ids{};
    for (size_t i = 0; i < Table.size(); ++i)
        ids[i] = {Table[i].propertyId, static_cast<uint16_t>(i)};
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The table's first entry for propertyId, or null.
template <const auto& Table>
auto FindField(uint32_t propertyId) -> decltype(&Table[0]) {
    static constexpr auto ids = SortedFieldIds<Table>();
    const auto at = std::lower_bound(ids.begin(), ids.end(), std::pair{propertyId, uint16_t{0}});
    return at != ids.end() && at->first == propertyId ? &Table[at->second] : nullptr;
}

// The property ids below 0x10000 that some field table holds, one bit each: most values are
// in none of them, and go past the tables' searches with one look at this.
constexpr uint32_t kFieldIdLimit = 0x10000;
template <const auto&... Tables>
constexpr auto FieldIdBits() {
    std::array<uint64_t, kFieldIdLimit / 64> bits{};
    auto mark = [&bits](const auto& table) {
        for (const auto& entry : table)
            if (entry.propertyId < kFieldIdLimit)
                bits[entry.propertyId / 64] |= uint64_t{1} << (entry.propertyId % 64);
    };
    (mark(Tables), ...);
    return bits;
}
constexpr auto kFieldIds = FieldIdBits<kFullMessageFields, kFullMessageRawFields, kMessageFields,
                                       kMessageRawFields, kContactFields>();

bool MayBeField(uint32_t id) {
    return id >= kFieldIdLimit || (kFieldIds[id / 64] >> (id % 64) & 1) != 0;
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
        FinishFullFields();
        FinishFullLoad();
    }

  private:
    // The code pages decide how every 8-bit string is read, and the message code page comes
    // after the subject in a property context: they are looked up before the walk.
    void TakeCodePages(const PropertyGroupList& groups) {
        uint32_t messageCodePage = 0;
        uint32_t internetCodePage = 0;
        for (const PropertyGroup& group : groups) {
            for (const PropertyValue& value : group.values) {
                if (!value.hasData()) continue;
                if (value.propertyId == kPidTagMessageCodepage) {
                    messageCodePage = LittleU32(*value.data);
                }
                if (value.propertyId == kPidTagInternetCodepage) {
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

    bool IsWide(const PropertyValue& value) const {
        return IsWideText(value.type, options_.variant);
    }

    std::string Decode(std::span<const uint8_t> bytes, bool wide, uint32_t codePage) const {
        return DecodeText(bytes, wide, options_.variant, codePage);
    }

    std::string Text(const PropertyValue& value, uint32_t codePage) const {
        return Decode(*value.data, IsWide(value), codePage);
    }
    // A short text (name, class, address, subject) that does not decode cleanly is left
    // out and counted, never shown. Bodies are only converted: they are long, and one
    // stray unit in them does not make the rest garbage.
    bool Garbled(std::span<const uint8_t> bytes, bool wide) const {
        if (!wide || IsCleanUtf16(bytes)) return false;
        ++item_.garbledStrings;
        return true;
    }
    std::string Text(const PropertyValue& value) const {
        if (Garbled(*value.data, IsWide(value))) return {};
        return Text(value, stringCodePage_);
    }

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
        if (id == kPidTagAttachDataBinary || id == kPidTagAttachFilename ||
            id == kPidTagAttachLongFilename || id == kPidTagAttachContentId ||
            id == kPidTagLtpRowId || (options_.FullLoad() && IsFullAttachmentProperty(id))) {
            Attachment(value);
            return;
        }
        // An attachment's display name or record key is not the message's.
        if (attachmentsOnly_) return;
        if (value.textLength && id == kPidTagBody) {
            // Measured as it was read: its length is all that came.
            measuredBody_.reset();
            measuredBodyLength_ = value.textLength;
            return;
        }
        if (!value.hasData()) return;
        if (options_.FullLoad() && FullLoadValue(value)) return;
        if (MayBeField(id) && TakeField(value)) return;
        Special(value);
    }

    // Stores the value in the field a table names for its id; false when none does.
    bool TakeField(PropertyValue& value) {
        const uint32_t id = value.propertyId;
        std::vector<uint8_t>& data = *value.data;
        // Kept aside: folders have creation times too, and only a message takes them.
        if (options_.FullLoad()) {
            if (auto* entry = FindField<kFullMessageFields>(id)) {
                pendingFull_.*(entry->field) = Text(value, bodyCodePage_);
                hasPendingFull_ = true;
                return true;
            }
            if (auto* entry = FindField<kFullMessageRawFields>(id)) {
                pendingFull_.*(entry->field) = std::move(data);
                hasPendingFull_ = true;
                return true;
            }
        }

        if (auto* entry = FindField<kMessageFields>(id)) {
            Message().*(entry->field) = Text(value);
            return true;
        }
        if (auto* entry = FindField<kMessageRawFields>(id)) {
            Message().*(entry->field) = std::move(data);
            return true;
        }
        if (auto* entry = FindField<kContactFields>(id)) {
            Contact().*(entry->field) = Text(value);
            return true;
        }

        return false;
    }

    // Values the tables do not name: each its own way.
    void Special(PropertyValue& value) {
        const uint32_t id = value.propertyId;
        std::vector<uint8_t>& data = *value.data;
        switch (id) {
            case kPidTagSubject:
                Subject(value);
                break;
            case kPidTagMessageClass:
                sawMessageClass_ = true;
                item_.className = Text(value);
                item_.kind = ClassifyMessageClass(item_.className);
                break;
            case kPidTagContainerClass:
                item_.className = Text(value);
                item_.kind = ClassifyContainerClass(item_.className);
                break;
            case kPidTagDisplayName:
                item_.displayName = Text(value);
                break;
            case kPidTagRecordKey:
                item_.recordKey = std::move(data);
                break;

            case kPidTagMessageFlags:
                Message().messageFlags = LittleU32(data);
                break;
            case kPidTagNormalizedSubject:
                normalizedSubject_ = Text(value);
                break;
            case kPidTagBody:
                measuredBodyLength_.reset();
                if (options_.measureBody && IsWide(value)) {
                    measuredBody_ = std::move(data);
                    break;
                }
                measuredBody_.reset();
                Message().body = Text(value, bodyCodePage_);
                break;
            case kPidTagHtml: {
                MessageRecord& message = Message();
                if (options_.measureBody) {
                    // Only whether there is HTML text matters: any byte of 8-bit HTML
                    // gives text, UTF-16 HTML does up to its first zero unit.
                    message.bodyHtml.clear();
                    message.hasHtmlText = value.type == kPtypString
                                              ? NarrowUtf16Length(data.data(), data.size()) > 0
                                              : !data.empty();
                } else {
                    message.bodyHtml = Html(value);
                    message.hasHtmlText = !message.bodyHtml.empty();
                }
                break;
            }
            case kPidTagRtfCompressed:
                Rtf(data);
                break;
            case kStringNamedPropertyId:
                NamedValue(data);
                break;

            case kPidTagContentCount:
                Folder().contentCount = LittleU32(data);
                break;
            case kPidTagContentUnreadCount:
                Folder().unreadCount = LittleU32(data);
                break;
            case kPidTagSubfolders:
                Folder().hasSubfolders =
                    std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0; });
                break;

            case kPidTagIpmWastebasketEntryId:
                Store().wastebasketEntryId = std::move(data);
                break;
            case kPidTagFinderEntryId:
                Store().finderEntryId = std::move(data);
                break;
            case kPidTagIpmSubtreeEntryId:
                Store().ipmSubtreeEntryId = std::move(data);
                break;
            case kPidTagRootEntryId:
                Store().rootEntry.assign(data.begin(),
                                         data.begin() + std::min<size_t>(data.size(), 24));
                break;
            case kPidTagValidFolderMask:
                Store().validFolderMask = LittleU32(data);
                break;

            case kPidTagEmailAddress:
            case kPidLidEmailAddress8048:
            case kPidLidEmail1OriginalDisplayName:
                EmailAddress(value);
                break;
            case kPidTagGender:
                Contact().gender = static_cast<uint16_t>(LittleU32(data));
                break;
            case kPidTagWeddingAnniversary:
                Contact().weddingAnniversary = std::move(data);
                break;
            case kPidTagBirthday:
                Contact().birthday = std::move(data);
                break;

            case kPidLidLogType:
            case kPidLidLogTypeDesc:
                Journal().entryType = Text(value);
                break;

            case kPidLidClipEnd:
                Calendar().clipEnd = std::move(data);
                break;
            case kPidLidLocation:
                Calendar().location = Text(value);
                break;
            case kPidLidClipStart:
                Calendar().clipStart = std::move(data);
                break;
            default:
                break;
        }
    }

    AppointmentRecord& Appointment() {
        if (!item_.appointment) item_.appointment = std::make_unique<AppointmentRecord>();
        return *item_.appointment;
    }
    TaskRecord& Task() {
        if (!item_.task) item_.task = std::make_unique<TaskRecord>();
        return *item_.task;
    }
    ContactCardRecord& Card() {
        if (!item_.card) item_.card = std::make_unique<ContactCardRecord>();
        return *item_.card;
    }

    static bool IsTrue(const std::vector<uint8_t>& data) {
        return std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0; });
    }

    // The values only a full load takes; true when value was one of them. Named values are
    // matched by LID, as the list's fields are, and by type where a LID is shared.
    bool FullLoadValue(PropertyValue& value) {
        const uint32_t id = value.propertyId;
        std::vector<uint8_t>& data = *value.data;
        // A LID below 0x8000 keeps its file id, which another entry's LID may equal: the
        // global object id is the binary one.
        if (options_.globalObjectIdProperty != 0 && id == options_.globalObjectIdProperty &&
            value.type == kPtypBinary) {
            Appointment().globalObjectId = std::move(data);
            return true;
        }
        switch (id) {
            case kPidLidAppointmentStartWhole:
                Appointment().startTime = std::move(data);
                return true;
            case kPidLidAppointmentEndWhole:
                Appointment().endTime = std::move(data);
                return true;
            case kPidLidAppointmentRecur:
                if (value.type != kPtypBinary) return false;
                Appointment().recurrencePattern = std::move(data);
                return true;
            case kPidLidRecurring:
                Appointment().recurring = IsTrue(data);
                return true;
            case kPidLidAppointmentSubType:
                Appointment().allDay = IsTrue(data);
                return true;
            case kPidLidExceptionReplaceTime:
                Appointment().exceptionReplaceTime = std::move(data);
                return true;
            case kPidLidTimeZoneStruct:
            case kPidLidAppointmentTimeZoneDefinitionStartDisplay:
            case kPidLidAppointmentTimeZoneDefinitionEndDisplay:
            case kPidLidAppointmentTimeZoneDefinitionRecur: {
                if (value.type != kPtypBinary) return false;
                AppointmentRecord& a = Appointment();
                auto& field = id == kPidLidTimeZoneStruct ? a.timeZoneStruct
                              : id == kPidLidAppointmentTimeZoneDefinitionStartDisplay
                                  ? a.zoneOfStart
                              : id == kPidLidAppointmentTimeZoneDefinitionEndDisplay ? a.zoneOfEnd
                                                                                     : a.zoneOfSeries;
                field = std::move(data);
                return true;
            }
            case kPidLidTimeZoneDescription:
                if (value.type != kPtypString && value.type != kPtypString8) return false;
                Appointment().timeZoneDescription = Text(value);
                return true;

            case kPidLidTaskStatus:
                if (data.size() < 4) return false;
                Task().status = LittleU32(data);
                return true;
            case kPidLidPercentComplete: {
                if (data.size() != 8) return false;
                double percent = 0;
                std::memcpy(&percent, data.data(), sizeof percent);
                if (!std::isfinite(percent)) return true;
                Task().percentComplete = std::clamp(percent, 0.0, 1.0);
                return true;
            }
            case kPidLidTaskStartDate:
                Task().startDate = std::move(data);
                return true;
            case kPidLidTaskDueDate:
                Task().dueDate = std::move(data);
                return true;
            case kPidLidTaskRecurrence:
                if (value.type != kPtypBinary) return false;
                Task().recurrencePattern = std::move(data);
                return true;
            case kPidLidTaskFRecurring:
                Task().recurring = IsTrue(data);
                return true;

            case kPidLidEmail1EmailAddress:
                Card().email1Address = Text(value);
                return true;
            case kPidLidEmail2EmailAddress:
                Card().email2Address = Text(value);
                return true;
            case kPidLidEmail3EmailAddress:
                Card().email3Address = Text(value);
                return true;
            case kPidTagPrimaryTelephoneNumber:
                Card().primaryPhone = Text(value);
                return true;
            case kPidTagPrimaryFaxNumber:
                Card().primaryFax = Text(value);
                return true;
            case kPidLidDistributionListName:
                if (value.type != kPtypString && value.type != kPtypString8) return false;
                Card().distListName = Text(value);
                return true;
            case kPidLidDistributionListMembers:
                memberIds_ = std::move(data);
                return true;
            case kPidLidDistributionListOneOffMembers:
                memberOneOffs_ = std::move(data);
                return true;
            default:
                return false;
        }
    }

    // What a full load gathered and can place only once every value is taken.
    void FinishFullLoad() {
        if (!options_.FullLoad() || attachmentsOnly_) return;
        // Task LIDs are met on other items too (lists carry a status and a percentage).
        constexpr std::string_view kTaskClass = "IPM.Task";
        if (item_.task &&
            !(item_.className.size() >= kTaskClass.size() &&
              EqualsIgnoringCase(kTaskClass,
                                 std::string_view(item_.className).substr(0, kTaskClass.size())))) {
            item_.task.reset();
        }
        if (!memberIds_.empty() || !memberOneOffs_.empty()) {
            Card().members = DistListMembers(memberIds_, memberOneOffs_, stringCodePage_);
            memberIds_.clear();
            memberOneOffs_.clear();
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
        const bool wide = IsWide(value);
        if (Garbled(data, wide)) {
            message.subject.reset();
            return;
        }
        auto subject = std::make_unique<SubjectRecord>();
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

    // The full load's message fields go to a message: an item with message fields or a
    // message class.
    void FinishFullFields() {
        if (!hasPendingFull_ || (!item_.message && !sawMessageClass_)) return;
        MessageRecord& message = Message();
        for (const auto& entry : kFullMessageFields) {
            std::string& text = pendingFull_.*(entry.field);
            if (!text.empty()) message.*(entry.field) = std::move(text);
        }
        for (const auto& entry : kFullMessageRawFields) {
            std::vector<uint8_t>& bytes = pendingFull_.*(entry.field);
            if (!bytes.empty()) message.*(entry.field) = std::move(bytes);
        }
    }

    // A body kept aside for measuring: a sticky note's is its text, anyone else's is only
    // measured. The class is known only once every value is taken. (A note's body that came
    // measured already is read again by the caller.)
    void FinishBody() {
        if (!measuredBody_ && !measuredBodyLength_) return;
        MessageRecord& message = Message();
        if (measuredBody_ && KeepsBodyText(item_)) {
            message.body = NarrowUtf16(measuredBody_->data(), measuredBody_->size());
        } else {
            message.body.clear();
            message.bodyLength =
                measuredBody_ ? NarrowUtf16Length(measuredBody_->data(), measuredBody_->size())
                              : *measuredBodyLength_;
        }
        measuredBody_.reset();
        measuredBodyLength_.reset();
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
        if (value.type == kPtypString) {
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
            case kPidTagAttachDataBinary:
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
            case kPidTagAttachFilename:
                if (value.hasData()) attachment.shortName = Text(value);
                break;
            case kPidTagAttachLongFilename:
                if (value.hasData()) attachment.longName = Text(value);
                break;
            case kPidTagAttachContentId:
                if (value.hasData()) attachment.contentId = Text(value);
                break;
            case kPidTagLtpRowId:
                if (value.hasData()) attachment.rowId = LittleU32(*value.data);
                break;
            case kPidTagAttachMimeTag:
                if (value.hasData()) attachment.mimeTag = Text(value);
                break;
            case kPidTagAttachMethod:
                if (value.hasData() && value.data->size() >= 4)
                    attachment.method = LittleU32(*value.data);
                break;
            case kPidTagAttachFlags:
                if (value.hasData()) attachment.flags = LittleU32(*value.data);
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
    std::optional<uint64_t> measuredBodyLength_;        // or its length, measured as it came
    // Full loads: values placed by FinishFullLoad.
    std::vector<uint8_t> memberIds_;
    std::vector<uint8_t> memberOneOffs_;
    MessageRecord pendingFull_;  // the full load's message fields, for FinishFullFields
    bool hasPendingFull_ = false;
    bool sawMessageClass_ = false;
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

bool IsDistributionListClass(std::string_view className) {
    constexpr std::string_view kDistList = "IPM.DistList";
    return className.size() >= kDistList.size() &&
           EqualsIgnoringCase(kDistList, className.substr(0, kDistList.size()));
}

ItemKind ClassifyContainerClass(std::string_view className) {
    const std::string_view text = ClassText(className);
    for (const ClassRule& rule : kContainerClassRules) {
        if (LeadingBytesEqual(rule.pattern, text, rule.count)) return rule.kind;
    }
    return ItemKind::Other;
}

bool KeepsBodyText(const ItemRecord& item) {
    return item.className == "IPM.StickyNote";
}

int AssembleItem(PropertyGroupList& groups, ItemRecord& item, const AssembleOptions& options) {
    Assembler(item, options).Run(groups);
    return 0;
}

}  // namespace kestrel
