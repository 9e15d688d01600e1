#pragma once
// Whole mailboxes for tests and the sample file: message store, name-to-ID map, root
// folder with "Top of Personal Folders" and its subfolders, folder tables, messages with
// recipients and attachments, and the other Outlook item kinds, written through the
// property/table builders and the node-database builder.
//
//   MailboxBuilder box(PstVariant::Unicode);                 // with the standard folders
//   Message m = MakeMail("Hello", "Ann Lee", "ann@example.com", "Body text");
//   m.recipients = {{"Bob", "bob@example.com"}};
//   uint32_t nid = box.AddMessage(box.Folder("Inbox"), m);
//   box.AddMessage(box.Folder("Contacts"), MakeContact({.displayName = "Bob"}));
//   std::vector<uint8_t> image = box.Build();
//
// Ansi files get their strings as PT_STRING8 in the message's (or the mailbox's) code
// page; Unicode files as PT_UNICODE. box.pst() reaches the node database for odd additions.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pstwrite/ltp_builder.h"
#include "pstwrite/pst_builder.h"

namespace kestrel::test {

// Well-known NIDs.
inline constexpr uint32_t kNidMessageStore = 0x21, kNidNameToIdMap = 0x61, kNidRootFolder = 0x122,
                          kNidAttachmentTable = 0x671, kNidRecipientTable = 0x692;

// A value of a named property; a text value takes the file's string type.
struct NamedValue {
    NameId name{};
    std::optional<std::string> text{};
    Prop value{};  // its id is replaced by the mapped one
};
NamedValue NamedText(const Guid& guid, uint32_t lid, std::string text);
NamedValue Named(const Guid& guid, uint32_t lid, Prop value);

struct Recipient {
    std::string name{};
    std::string email{};
    uint32_t type = 1;  // 1 To, 2 Cc, 3 Bcc
};

struct Attachment {
    std::string shortName{};  // 0x3704
    std::string longName{};   // 0x3707
    std::vector<uint8_t> data{};
    std::string mimeType{};
    std::vector<Prop> props{};  // more properties, as given
    // An attached message (method 5) in place of data (Message is not complete yet).
    std::shared_ptr<const struct Message> embedded{};
    bool objectLost = false;  // damage: the table lists it, its own object is left out
};

struct Message {
    std::string messageClass = "IPM.Note";
    std::string subject{};
    std::string subjectPrefix;  // stored behind the 0x01 marker when not empty ("RE: ")
    std::string senderName{}, senderEmail{};
    std::optional<std::string> displayTo{}, displayCc{};   // default: from the recipients
    std::optional<uint64_t> deliveryTime{}, submitTime{};  // FILETIME
    std::optional<std::string> body{};
    std::optional<std::string> htmlBody{};                // written in the internet code page
    std::optional<std::vector<uint8_t>> rtfCompressed{};  // as given
    std::optional<uint32_t> codePage{};  // PR_MESSAGE_CODEPAGE; also the 8-bit text code page
    uint32_t flags = 0x01;               // read; "has attachments" is added when there are some
    std::vector<Recipient> recipients{};
    std::vector<Attachment> attachments{};
    std::map<uint16_t, std::string> texts{};  // more string properties
    std::vector<Prop> props{};                // more properties, as given
    std::vector<NamedValue> named{};
};

// A compressed-RTF value: LZFu made of literal runs only (valid, if not small), or the
// stored "MELA" form when compressed is false.
std::vector<uint8_t> CompressRtf(std::string_view rtf, bool compressed = true);

// The item kinds Outlook keeps besides mail, as messages of their classes.
Message MakeMail(std::string subject, std::string senderName, std::string senderEmail,
                 std::string body);
struct ContactInfo {
    std::string displayName{}, givenName{}, surname{}, company{}, email{}, mobile{},
        businessPhone{}, homePhone{}, postalAddress{};
};
Message MakeContact(const ContactInfo& contact);
struct AppointmentInfo {
    std::string subject{}, location{}, body{};
    uint64_t start = 0, end = 0;  // FILETIME
};
Message MakeAppointment(const AppointmentInfo& appointment);
struct TaskInfo {
    std::string subject{}, body{};
    uint64_t due = 0;
    uint32_t status = 0;  // 0 not started, 1 in progress, 2 complete
};
Message MakeTask(const TaskInfo& task);
Message MakeStickyNote(std::string text);
struct JournalInfo {
    std::string subject{}, type = "Phone call", body{};
    uint64_t start = 0;
    uint32_t minutes = 0;
};
Message MakeJournal(const JournalInfo& journal);

class MailboxBuilder {
  public:
    struct Options {
        uint32_t codePage = 1252;  // the store's code page for 8-bit text
        uint8_t cryptMethod = 1;
        std::string storeName = "Personal Folders";
        bool standardFolders = true;  // Deleted Items, Inbox, Outbox, Sent Items, ...
        // The name map's first entries, as given: a name listed twice takes two ids, as in
        // maps some writers leave behind.
        std::vector<NameId> leadingNames{};
    };
    explicit MailboxBuilder(PstVariant variant) : MailboxBuilder(variant, Options{}) {}
    MailboxBuilder(PstVariant variant, Options options);

    PstBuilder& pst() { return pst_; }
    LtpBuilder& ltp() { return ltp_; }
    bool unicode() const { return pst_.unicode(); }

    uint32_t TopOfPersonalFolders() const { return kNidTopOfPersonalFolders; }
    // A new folder under parent; an empty container class writes none.
    uint32_t AddFolder(uint32_t parent, std::string name, std::string containerClass = "IPF.Note");
    // The first folder of that display name, in creation order; 0 when there is none.
    uint32_t Folder(std::string_view name) const;
    // A message filed in folder; returns its NID.
    uint32_t AddMessage(uint32_t folder, const Message& message);
    // The NID the next AddMessage will take.
    uint32_t NextMessageNid() const { return MakeNid(kNidTypeNormalMessage, nextMessage_); }

    // Writes every node (once), then builds the image; later calls only rebuild the image,
    // so changes made through pst() afterwards still take effect.
    std::vector<uint8_t> Build();
    void WriteTo(const std::filesystem::path& path);

  private:
    static constexpr uint32_t kNidTopOfPersonalFolders = 0x8022;
    static constexpr uint32_t kNidSearchRoot = 0x8042;
    struct FolderInfo {
        uint32_t nid;
        uint32_t parent;
        std::string name;
        std::string containerClass;
        std::vector<uint32_t> folders;
        std::vector<uint32_t> messages;
    };
    struct StoredMessage {
        uint32_t nid;
        Message message;
    };

    Prop Text(uint16_t id, std::string_view utf8, std::optional<uint32_t> codePage) const;
    uint16_t StringType() const { return unicode() ? kPtUnicode : kPtString8; }
    uint16_t NamedId(const NameId& name);
    std::vector<Prop> MessageProps(const Message& m);
    LtpNode MessageNode(const Message& m);
    void WriteFolder(const FolderInfo& folder);
    void WriteNodes();
    FolderInfo& FolderAt(uint32_t nid);

    PstBuilder pst_;
    LtpBuilder ltp_;
    Options options_;
    std::vector<FolderInfo> folders_{};
    std::vector<StoredMessage> messages_{};
    std::vector<NameId> names_{};
    uint32_t nextFolder_ = 0x403;
    uint32_t nextMessage_ = 0x10001;
    bool written_ = false;
};

}  // namespace kestrel::test
