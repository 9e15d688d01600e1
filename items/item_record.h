#pragma once
// The program's own record of one node: the fields of a mail message, a contact, a folder,
// the message store, a journal entry, a calendar entry and the attachments, as the item
// assembly fills them from the node's properties. Every string is UTF-8; raw fields hold
// the property's bytes as stored.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

enum class ItemKind : uint32_t {
    Unclassified = 0,  // no class property seen
    Mail = 1,
    Calendar = 8,
    Contact = 9,
    Journal = 10,
    StickyNote = 11,
    Task = 12,
    Other = 13,
    Report = 14,
};

struct SubjectRecord {
    uint32_t prefixMarker = 0;  // 1 when the stored subject starts with the 0x01 marker
    uint32_t prefixLength = 0;  // the character after the marker, as stored (Outlook writes
                                // the prefix's length + 1)
    std::string text;           // without the marker and its length character
};

struct MessageRecord {
    std::vector<uint8_t> deliveryTime;  // FILETIME bytes (0x0E06)
    uint32_t messageFlags = 0;          // 0x0E07
    std::string extraText;              // 0x6619: the body's preview text in contents tables
    std::string displayCc;              // 0x0E03
    std::vector<uint8_t> bodyHtml;      // 0x1013, converted to UTF-8
    std::string commonName;             // 0x3A0F
    std::string senderName;             // 0x0042
    std::string senderAddress;          // 0x0064 or 0x0065, whichever comes last
    std::string conversationTopic;      // 0x0070
    std::string replyRecipientNames;    // 0x0050
    std::string inReplyTo;              // 0x1042
    bool hasRtfBody = false;            // the compressed RTF (0x1009) decoded
    std::string rtfBody;                // the decoded RTF document, as the sender wrote it
    std::string receivedByAddress;      // 0x0075 or 0x0076, whichever comes last
    std::vector<uint8_t> namedValue1;   // the first two string-named values met
    std::vector<uint8_t> namedValue2;
    std::string body;                    // 0x1000; also the text of a sticky note
    std::optional<uint64_t> bodyLength;  // UTF-8 bytes of a body only measured (body empty)
    bool hasHtmlText = false;         // 0x1013 gives text (in bodyHtml, unless it was only checked)
    std::vector<uint8_t> submitTime;  // FILETIME bytes (0x0039)
    std::string displayTo;            // 0x0E04
    std::unique_ptr<SubjectRecord> subject;  // 0x0037; none when absent or empty
    // Read by the full load only (the walk's light load leaves them empty): what a saved
    // message needs besides the fields above.
    std::string transportHeaders;               // 0x007D, the headers as received
    std::string internetMessageId;              // 0x1035
    std::string internetReferences;             // 0x1039
    std::string senderSmtpAddress;              // 0x5D01
    std::string sentRepresentingSmtpAddress;    // 0x5D02
    std::string senderEmailAddress;             // 0x0C1F
    std::string senderAddressType;              // 0x0C1E
    std::vector<uint8_t> creationTime;          // FILETIME bytes (0x3007)
    std::vector<uint8_t> lastModificationTime;  // FILETIME bytes (0x3008)
};

struct FolderRecord {
    uint32_t contentCount = 0;   // 0x3602
    uint32_t unreadCount = 0;    // 0x3603
    bool hasSubfolders = false;  // 0x360A nonzero
};

struct StoreRecord {
    std::vector<uint8_t> wastebasketEntryId;  // 0x35E3
    std::vector<uint8_t> finderEntryId;       // 0x35E7
    std::vector<uint8_t> ipmSubtreeEntryId;   // 0x35E0
    std::vector<uint8_t> rootEntry;           // the first 24 bytes of 0x7C07
    uint32_t validFolderMask = 0;             // 0x35DF
};

// One member of a distribution list: its entry id from the members list (LID 0x8055) and
// the name and address of the one-off entry at the same place in LID 0x8054 (or of the
// member's own entry when that is a one-off).
struct DistListMember {
    bool contact = false;          // names a contact or another list of the store
    std::vector<uint8_t> entryId;  // the member's entry id as stored (may be empty)
    std::string displayName;
    std::string addressType;  // "SMTP", "EX", ...
    std::string address;
};

struct ContactRecord {
    std::string companyName;
    std::string generation;
    std::string emailAddress;  // only values that contain "@"
    std::string postalAddress;
    std::string title;
    std::string fileUnder;
    std::string customerId;
    std::string mobilePhone;
    std::string hobbies;
    std::string addressLine;  // not filled from properties: the list's fallback
    uint16_t gender = 0;
    std::string surname;
    std::string givenName;
    std::string middleName;
    std::string homePhone;
    std::string businessPhone;
    std::string businessFax;
    std::string homeFax;
    std::string language;
    std::string officeLocation;
    std::string pager;
    std::string isdn;
    std::string assistantPhone;
    std::string assistant;
    std::string profession;
    std::string spouseName;
    std::string companyMainPhone;
    std::string homeCity;
    std::vector<uint8_t> weddingAnniversary;  // FILETIME bytes
    std::vector<uint8_t> birthday;            // FILETIME bytes
    std::string managerName;
    std::string nickname;
    std::string personalHomePage;
    std::string businessHomePage;
    std::string homeCountry;
    std::string homePostalCode;
    std::string homeState;
    std::string homeStreet;
    std::string otherCity;
    std::string otherCountry;
    std::string otherState;
    std::string otherStreet;
    std::string otherPhone;
    std::string otherAddress;
    std::string otherPostalCode;
    std::string callbackPhone;
    std::string businessCity;
    std::string businessCountry;
    std::string businessState;
    std::string businessStreet;
    std::string businessPostalCode;
    std::string workAddress;
    std::string carPhone;
    std::string department;
    std::string account;
    std::string home2Phone;
    std::string mileage;
    std::string telex;
    std::string radioPhone;
    std::string business2Phone;
    std::string ttyPhone;
    std::string governmentId;
    std::string organizationalId;
    std::string freeBusyLocation;
    std::string displayNamePrefix;
};

struct JournalRecord {
    std::string entryType;  // LID 0x8700 or 0x8712, whichever comes last
};

struct CalendarRecord {
    std::vector<uint8_t> clipEnd;    // FILETIME bytes (LID 0x8236)
    std::string location;            // LID 0x8208
    std::vector<uint8_t> clipStart;  // FILETIME bytes (LID 0x8235)
};

// The records below are read by full loads only (one item read whole, for the writers):
// the lists never see them, and an item has them whatever its kind, so their presence
// says nothing about what the item is. Times are FILETIME bytes.

struct AppointmentRecord {
    std::vector<uint8_t> startTime;             // LID 0x820D
    std::vector<uint8_t> endTime;               // LID 0x820E
    std::vector<uint8_t> recurrencePattern;     // LID 0x8216, as stored
    bool recurring = false;                     // LID 0x8223
    bool allDay = false;                        // LID 0x8215
    std::vector<uint8_t> exceptionReplaceTime;  // LID 0x8228: a changed instance's original start
    std::vector<uint8_t> globalObjectId;        // PSETID_Meeting LID 0x0003
    // The zone the times were entered in, as stored: the series' rule (LID 0x8233), its
    // name (0x8234) and the definitions of the zones of start, end and series (0x825E,
    // 0x825F, 0x8260).
    std::vector<uint8_t> timeZoneStruct;
    std::string timeZoneDescription;
    std::vector<uint8_t> zoneOfStart;
    std::vector<uint8_t> zoneOfEnd;
    std::vector<uint8_t> zoneOfSeries;
};

struct TaskRecord {
    std::vector<uint8_t> startDate;          // LID 0x8104
    std::vector<uint8_t> dueDate;            // LID 0x8105
    std::optional<uint32_t> status;          // LID 0x8101: 0 not started .. 4 deferred
    std::optional<double> percentComplete;   // LID 0x8102, 0.0 to 1.0
    bool recurring = false;                  // LID 0x8126
    std::vector<uint8_t> recurrencePattern;  // LID 0x8116, as stored
};

// What a vCard needs beyond the contact's list fields.
struct ContactCardRecord {
    std::string email1Address;            // LID 0x8083
    std::string email2Address;            // LID 0x8093
    std::string email3Address;            // LID 0x80A3
    std::string primaryPhone;             // 0x3A1A
    std::string primaryFax;               // 0x3A23
    std::string distListName;             // LID 0x8053
    std::vector<DistListMember> members;  // a distribution list's, in stored order
};

struct AttachmentRecord {
    std::string shortName;      // 0x3704
    std::string longName;       // 0x3707
    std::string contentId;      // 0x3712: what a cid: reference in the HTML body names
    std::vector<uint8_t> data;  // 0x3701
    uint32_t dataSize = 0;
    uint32_t rowId = 0;    // the attachment's subnode NID; the data's NID when not read
    uint64_t dataBid = 0;  // the block of the subnode rowId names, when found
    // Read by the full load only.
    std::string mimeTag;             // 0x370E, as stored: checked before it is used
    std::optional<uint32_t> method;  // 0x3705; 5 is an attached message
    uint32_t flags = 0;              // 0x3714
};

struct ItemRecord {
    uint32_t nid = 0;  // the node the item was loaded from
    std::unique_ptr<MessageRecord> message;
    std::unique_ptr<FolderRecord> folder;
    std::unique_ptr<ContactRecord> contact;
    // One record per attachment-table row, in the order the rows were parsed.
    std::vector<AttachmentRecord> attachments;
    // The index into attachments that attachment properties are written to.
    std::optional<size_t> currentAttachment;
    std::unique_ptr<StoreRecord> store;
    std::unique_ptr<JournalRecord> journal;
    std::unique_ptr<CalendarRecord> calendar;
    // Full loads only; see AppointmentRecord.
    std::unique_ptr<AppointmentRecord> appointment;
    std::unique_ptr<TaskRecord> task;
    std::unique_ptr<ContactCardRecord> card;
    ItemKind kind = ItemKind::Unclassified;
    std::string className;           // message class, or the container class of a folder
    std::string displayName;         // 0x3001
    std::vector<uint8_t> recordKey;  // 0x0FF9, binary
    // The code pages that 8-bit text of this item was converted from: 0x3FFD for strings,
    // 0x3FDE for the body and the HTML. 0 when the item did not say.
    uint32_t messageCodePage = 0;
    uint32_t internetCodePage = 0;
    // Texts left out because their UTF-16 did not decode cleanly (a damaged heap).
    uint32_t garbledStrings = 0;

    // True when nothing at all was taken from the node: the folder walk drops such items.
    bool Empty() const {
        return !message && !folder && !contact && attachments.empty() && !currentAttachment &&
               !store && !journal && !calendar && kind == ItemKind::Unclassified &&
               className.empty();
    }
};

}  // namespace kestrel
