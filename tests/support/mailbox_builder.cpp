#include "support/mailbox_builder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <stdexcept>

namespace kestrel::test {
namespace {

// The store's provider id; entry ids of folders are 4 flag bytes, this, and the NID.
constexpr std::array<uint8_t, 16> kStoreUid = {0x4B, 0x65, 0x73, 0x74, 0x72, 0x65, 0x6C, 0x20,
                                               0x50, 0x53, 0x54, 0x20, 0x74, 0x65, 0x73, 0x74};

std::vector<uint8_t> EntryId(uint32_t nid) {
    std::vector<uint8_t> id(4 + kStoreUid.size() + 4, 0);
    std::copy(kStoreUid.begin(), kStoreUid.end(), id.begin() + 4);
    for (int i = 0; i < 4; ++i) id[20 + i] = static_cast<uint8_t>(nid >> (8 * i));
    return id;
}

std::string JoinNames(const std::vector<Recipient>& recipients, uint32_t type) {
    std::string out;
    for (const auto& r : recipients) {
        if (r.type != type) continue;
        if (!out.empty()) out += "; ";
        out += r.name;
    }
    return out;
}

const Prop* FindProp(const std::vector<Prop>& props, uint16_t id) {
    for (const auto& p : props)
        if (p.id == id) return &p;
    return nullptr;
}

constexpr uint32_t kNidHierarchyTemplate = 0x60D;  // hierarchy table template
constexpr uint32_t kNidContentsTemplate = 0x60E;
constexpr uint32_t kNidAssocTemplate = 0x60F;

}  // namespace

NamedValue NamedText(const Guid& guid, uint32_t lid, std::string text) {
    return {{guid, lid, {}}, std::move(text), {}};
}

NamedValue Named(const Guid& guid, uint32_t lid, Prop value) {
    return {{guid, lid, {}}, std::nullopt, std::move(value)};
}

std::vector<uint8_t> CompressRtf(std::string_view rtf, bool compressed) {
    auto le32 = [](std::vector<uint8_t>& out, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    std::vector<uint8_t> out(16, 0);
    if (!compressed) {
        out.insert(out.end(), rtf.begin(), rtf.end());
        le32(out, 8, 0x414C454D);  // "MELA"
    } else {
        // Control bytes of eight literal flags; the end is a reference to the write position
        // of the dictionary, which starts behind its 207-byte preset text.
        for (size_t i = 0; i < rtf.size(); i += 8) {
            const size_t n = std::min<size_t>(8, rtf.size() - i);
            out.push_back(n < 8 ? static_cast<uint8_t>(1u << n) : 0);
            out.insert(out.end(), rtf.begin() + static_cast<ptrdiff_t>(i),
                       rtf.begin() + static_cast<ptrdiff_t>(i + n));
        }
        if (rtf.size() % 8 == 0) out.push_back(0x01);
        const uint32_t end = static_cast<uint32_t>((207 + rtf.size()) % 4096);
        out.push_back(static_cast<uint8_t>(end >> 4));
        out.push_back(static_cast<uint8_t>((end & 0x0F) << 4));
        le32(out, 8, 0x75465A4C);  // "LZFu"
        le32(out, 12, ComputeCrc(std::span<const uint8_t>(out.data() + 16, out.size() - 16)));
    }
    le32(out, 0, static_cast<uint32_t>(out.size() - 4));
    le32(out, 4, static_cast<uint32_t>(rtf.size()));
    return out;
}

// --- Item makers ---

Message MakeMail(std::string subject, std::string senderName, std::string senderEmail,
                 std::string body) {
    Message m;
    m.subject = std::move(subject);
    m.senderName = std::move(senderName);
    m.senderEmail = std::move(senderEmail);
    m.body = std::move(body);
    return m;
}

Message MakeContact(const ContactInfo& c) {
    Message m;
    m.messageClass = "IPM.Contact";
    m.subject = c.displayName;
    m.texts[0x3001] = c.displayName;
    if (!c.givenName.empty()) m.texts[0x3A06] = c.givenName;
    if (!c.surname.empty()) m.texts[0x3A11] = c.surname;
    if (!c.company.empty()) m.texts[0x3A16] = c.company;
    if (!c.mobile.empty()) m.texts[0x3A1C] = c.mobile;
    if (!c.businessPhone.empty()) m.texts[0x3A08] = c.businessPhone;
    if (!c.homePhone.empty()) m.texts[0x3A09] = c.homePhone;
    if (!c.postalAddress.empty()) m.texts[0x3A15] = c.postalAddress;
    if (!c.surname.empty() || !c.givenName.empty())
        m.named.push_back(NamedText(kPsetidAddress, 0x8005,  // file under
                                    c.surname + (c.givenName.empty() ? "" : ", " + c.givenName)));
    if (!c.email.empty()) {
        m.named.push_back(NamedText(kPsetidAddress, 0x8080, c.displayName + " (" + c.email + ")"));
        m.named.push_back(NamedText(kPsetidAddress, 0x8082, "SMTP"));
        m.named.push_back(NamedText(kPsetidAddress, 0x8083, c.email));
        m.named.push_back(NamedText(kPsetidAddress, 0x8084, c.email));
    }
    return m;
}

Message MakeAppointment(const AppointmentInfo& a) {
    Message m;
    m.messageClass = "IPM.Appointment";
    m.subject = a.subject;
    if (!a.body.empty()) m.body = a.body;
    m.named.push_back(NamedText(kPsetidAppointment, 0x8208, a.location));
    m.named.push_back(Named(kPsetidAppointment, 0x8205, Prop::Int32(0, 2)));  // busy
    m.named.push_back(Named(kPsetidAppointment, 0x820D, Prop::Time(0, a.start)));
    m.named.push_back(Named(kPsetidAppointment, 0x820E, Prop::Time(0, a.end)));
    m.named.push_back(Named(kPsetidAppointment, 0x8235, Prop::Time(0, a.start)));
    m.named.push_back(Named(kPsetidAppointment, 0x8236, Prop::Time(0, a.end)));
    m.named.push_back(Named(kPsetidCommon, 0x8516, Prop::Time(0, a.start)));
    m.named.push_back(Named(kPsetidCommon, 0x8517, Prop::Time(0, a.end)));
    return m;
}

Message MakeTask(const TaskInfo& t) {
    Message m;
    m.messageClass = "IPM.Task";
    m.subject = t.subject;
    if (!t.body.empty()) m.body = t.body;
    m.named.push_back(Named(kPsetidTask, 0x8101, Prop::Int32(0, t.status)));
    m.named.push_back(Named(kPsetidTask, 0x811C, Prop::Bool(0, t.status == 2)));
    if (t.due) m.named.push_back(Named(kPsetidTask, 0x8105, Prop::Time(0, t.due)));
    return m;
}

Message MakeStickyNote(std::string text) {
    Message m;
    m.messageClass = "IPM.StickyNote";
    m.subject = text.substr(0, text.find('\n'));
    m.body = std::move(text);
    m.named.push_back(Named(kPsetidNote, 0x8B00, Prop::Int32(0, 3)));  // yellow
    m.named.push_back(Named(kPsetidNote, 0x8B02, Prop::Int32(0, 200)));
    m.named.push_back(Named(kPsetidNote, 0x8B03, Prop::Int32(0, 166)));
    return m;
}

Message MakeJournal(const JournalInfo& j) {
    Message m;
    m.messageClass = "IPM.Activity";
    m.subject = j.subject;
    if (!j.body.empty()) m.body = j.body;
    m.named.push_back(NamedText(kPsetidLog, 0x8700, j.type));
    m.named.push_back(NamedText(kPsetidLog, 0x8712, j.type));
    m.named.push_back(Named(kPsetidLog, 0x8706, Prop::Time(0, j.start)));
    m.named.push_back(
        Named(kPsetidLog, 0x8708, Prop::Time(0, j.start + uint64_t{j.minutes} * 600000000ULL)));
    m.named.push_back(Named(kPsetidLog, 0x8707, Prop::Int32(0, j.minutes)));
    if (j.start) m.deliveryTime = j.start;
    return m;
}

// --- Mailbox ---

MailboxBuilder::MailboxBuilder(PstVariant variant, Options options)
    : pst_(variant, options.cryptMethod), ltp_(variant), options_(std::move(options)) {
    names_ = options_.leadingNames;
    folders_.push_back({kNidRootFolder, kNidRootFolder, "", "", {}, {}});
    folders_.push_back(
        {kNidTopOfPersonalFolders, kNidRootFolder, "Top of Personal Folders", "", {}, {}});
    folders_.push_back({kNidSearchRoot, kNidRootFolder, "Search Root", "", {}, {}});
    FolderAt(kNidRootFolder).folders = {kNidTopOfPersonalFolders, kNidSearchRoot};
    if (options_.standardFolders) {
        const std::pair<const char*, const char*> standard[] = {
            {"Deleted Items", "IPF.Note"},   {"Inbox", "IPF.Note"},
            {"Outbox", "IPF.Note"},          {"Sent Items", "IPF.Note"},
            {"Calendar", "IPF.Appointment"}, {"Contacts", "IPF.Contact"},
            {"Journal", "IPF.Journal"},      {"Notes", "IPF.StickyNote"},
            {"Tasks", "IPF.Task"},           {"Drafts", "IPF.Note"}};
        for (const auto& [name, cls] : standard) AddFolder(kNidTopOfPersonalFolders, name, cls);
    }
}

MailboxBuilder::FolderInfo& MailboxBuilder::FolderAt(uint32_t nid) {
    for (auto& f : folders_)
        if (f.nid == nid) return f;
    throw std::out_of_range("no folder with NID " + std::to_string(nid));
}

uint32_t MailboxBuilder::AddFolder(uint32_t parent, std::string name, std::string containerClass) {
    const uint32_t nid = MakeNid(kNidTypeNormalFolder, nextFolder_++);
    FolderAt(parent).folders.push_back(nid);
    folders_.push_back({nid, parent, std::move(name), std::move(containerClass), {}, {}});
    return nid;
}

uint32_t MailboxBuilder::Folder(std::string_view name) const {
    for (const auto& f : folders_)
        if (f.name == name) return f.nid;
    return 0;
}

uint32_t MailboxBuilder::AddMessage(uint32_t folder, const Message& message) {
    const uint32_t nid = MakeNid(kNidTypeNormalMessage, nextMessage_++);
    FolderAt(folder).messages.push_back(nid);
    messages_.push_back({nid, message});
    return nid;
}

Prop MailboxBuilder::Text(uint16_t id, std::string_view utf8,
                          std::optional<uint32_t> codePage) const {
    if (unicode()) return Prop::Unicode(id, utf8);
    return Prop::String8(id, CodePageBytes(utf8, codePage.value_or(options_.codePage)));
}

uint16_t MailboxBuilder::NamedId(const NameId& name) {
    for (size_t i = 0; i < names_.size(); ++i) {
        const NameId& n = names_[i];
        if (n.guid == name.guid && n.lid == name.lid && n.name == name.name)
            return static_cast<uint16_t>(0x8000 + i);
    }
    names_.push_back(name);
    return static_cast<uint16_t>(0x8000 + names_.size() - 1);
}

std::vector<Prop> MailboxBuilder::MessageProps(const Message& m) {
    const std::optional<uint32_t> cp = m.codePage;
    std::vector<Prop> props;
    auto text = [&](uint16_t id, std::string_view value) { props.push_back(Text(id, value, cp)); };

    text(0x001A, m.messageClass);
    props.push_back(Prop::Int32(0x0017, 1));  // importance: normal
    props.push_back(Prop::Int32(0x0036, 0));  // sensitivity: none
    if (!m.subjectPrefix.empty()) {
        std::string marked = "\x01";
        marked += static_cast<char>(m.subjectPrefix.size());
        text(0x0037, marked + m.subjectPrefix + m.subject);
        text(0x003D, m.subjectPrefix);
    } else {
        text(0x0037, m.subject);
    }
    text(0x0E1D, m.subject);  // normalized subject
    text(0x0070, m.subject);  // conversation topic
    if (m.submitTime) props.push_back(Prop::Time(0x0039, *m.submitTime));
    if (!m.senderName.empty() || !m.senderEmail.empty()) {
        text(0x0042, m.senderName);
        text(0x0064, "SMTP");
        text(0x0065, m.senderEmail);
        text(0x0C1A, m.senderName);
        text(0x0C1E, "SMTP");
        text(0x0C1F, m.senderEmail);
    }
    const std::string to = m.displayTo.value_or(JoinNames(m.recipients, 1));
    const std::string cc = m.displayCc.value_or(JoinNames(m.recipients, 2));
    text(0x0E02, JoinNames(m.recipients, 3));
    text(0x0E03, cc);
    text(0x0E04, to);
    if (m.deliveryTime) props.push_back(Prop::Time(0x0E06, *m.deliveryTime));
    const uint32_t flags = m.flags | (m.attachments.empty() ? 0u : 0x10u);
    props.push_back(Prop::Int32(0x0E07, flags));
    props.push_back(Prop::Int32(0x0E17, 0));  // status
    if (m.body) text(0x1000, *m.body);
    if (m.rtfCompressed) {
        props.push_back(Prop::Binary(0x1009, *m.rtfCompressed));
        props.push_back(Prop::Bool(0x0E1F, true));  // RTF in sync
    }
    const uint32_t messageCodePage = cp.value_or(options_.codePage);
    if (m.htmlBody) {
        const uint32_t internetCodePage = cp.value_or(unicode() ? 65001 : options_.codePage);
        props.push_back(Prop::Binary(0x1013, CodePageBytes(*m.htmlBody, internetCodePage)));
        props.push_back(Prop::Int32(0x3FDE, internetCodePage));
    }
    const uint64_t when = m.deliveryTime.value_or(m.submitTime.value_or(FileTime(2007, 1, 1)));
    props.push_back(Prop::Time(0x3007, when));  // creation
    props.push_back(Prop::Time(0x3008, when));  // last modification
    props.push_back(Prop::Int32(0x3FFD, messageCodePage));
    for (const auto& [id, value] : m.texts) text(id, value);
    for (const auto& p : m.props) props.push_back(p);
    for (const auto& n : m.named) {
        const uint16_t id = NamedId(n.name);
        if (n.text) {
            props.push_back(Text(id, *n.text, cp));
        } else {
            Prop p = n.value;
            p.id = id;
            props.push_back(std::move(p));
        }
    }
    size_t size = 0;
    for (const auto& p : props) size += p.value.size() + 8;
    for (const auto& a : m.attachments) size += a.data.size() + 64;
    props.push_back(Prop::Int32(0x0E08, static_cast<uint32_t>(size)));
    // Later entries win, as the file keeps one value per property.
    std::vector<Prop> unique;
    for (auto it = props.rbegin(); it != props.rend(); ++it)
        if (!FindProp(unique, it->id)) unique.push_back(*it);
    std::sort(unique.begin(), unique.end(),
              [](const Prop& a, const Prop& b) { return a.id < b.id; });
    return unique;
}

LtpNode MailboxBuilder::MessageNode(const Message& m) {
    LtpNode node = ltp_.PropertyContext(MessageProps(m));
    const std::optional<uint32_t> cp = m.codePage;
    const uint16_t st = StringType();

    Table recipients;
    recipients.columns = {
        MakeTag(0x0C15, kPtLong), MakeTag(0x0E0F, kPtBoolean), MakeTag(0x0FF9, kPtBinary),
        MakeTag(0x0FFE, kPtLong), MakeTag(0x0FFF, kPtBinary),  MakeTag(0x3001, st),
        MakeTag(0x3002, st),      MakeTag(0x3003, st),         MakeTag(0x300B, kPtBinary),
        MakeTag(0x3900, kPtLong), MakeTag(0x39FF, st),         MakeTag(0x3A40, kPtBoolean)};
    for (size_t i = 0; i < m.recipients.size(); ++i) {
        const Recipient& r = m.recipients[i];
        std::string searchKey = "SMTP:" + r.email;
        std::transform(searchKey.begin(), searchKey.end(), searchKey.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        searchKey.push_back('\0');
        recipients.rows.push_back(
            {static_cast<uint32_t>(i),
             {Prop::Int32(0x0C15, r.type), Prop::Bool(0x0E0F, true), Prop::Int32(0x0FFE, 6),
              Text(0x3001, r.name, cp), Text(0x3002, "SMTP", cp), Text(0x3003, r.email, cp),
              Prop::Binary(0x300B, std::vector<uint8_t>(searchKey.begin(), searchKey.end())),
              Prop::Int32(0x3900, 0), Text(0x39FF, r.name, cp), Prop::Bool(0x3A40, false)}});
    }
    node.subnodes.push_back({kNidRecipientTable, ltp_.TableContext(recipients)});

    if (!m.attachments.empty()) {
        Table table;
        table.columns = {MakeTag(0x0E20, kPtLong), MakeTag(0x3704, st), MakeTag(0x3705, kPtLong),
                         MakeTag(0x370B, kPtLong)};
        std::vector<LtpSubnode> attachments;
        for (size_t i = 0; i < m.attachments.size(); ++i) {
            const Attachment& a = m.attachments[i];
            const uint32_t nid = MakeNid(kNidTypeAttachment, 0x401 + static_cast<uint32_t>(i));
            const uint32_t size = static_cast<uint32_t>(a.data.size() + 200);
            const bool attachedMessage = a.embedded != nullptr;
            // An attached message's object names the subnode that holds it.
            const uint32_t embeddedNid =
                MakeNid(kNidTypeNormalMessage, 0x7F0 + static_cast<uint32_t>(i));
            std::vector<uint8_t> object(8, 0);
            for (int k = 0; k < 4; ++k) object[k] = static_cast<uint8_t>(embeddedNid >> (8 * k));
            std::vector<Prop> props = {
                Prop::Int32(0x0E20, size), Prop::Int32(0x0FFE, 7),
                attachedMessage ? Prop::Raw(0x3701, kPtObject, object).InHeap()
                                : Prop::Binary(0x3701, a.data),
                Prop::Int32(0x3705, attachedMessage ? 5 : 1), Prop::Int32(0x370B, 0xFFFFFFFF)};
            const std::string& shown = a.longName.empty() ? a.shortName : a.longName;
            props.push_back(Text(0x3001, shown, cp));
            if (!a.shortName.empty()) props.push_back(Text(0x3704, a.shortName, cp));
            if (!a.longName.empty()) props.push_back(Text(0x3707, a.longName, cp));
            const size_t dot = shown.rfind('.');
            if (dot != std::string::npos) props.push_back(Text(0x3703, shown.substr(dot), cp));
            if (!a.mimeType.empty()) props.push_back(Text(0x370E, a.mimeType, cp));
            for (const auto& p : a.props) props.push_back(p);
            std::sort(props.begin(), props.end(),
                      [](const Prop& x, const Prop& y) { return x.id < y.id; });
            if (!a.objectLost) attachments.push_back({nid, ltp_.PropertyContext(props)});
            if (attachedMessage && !a.objectLost)
                attachments.back().node.subnodes.push_back({embeddedNid, MessageNode(*a.embedded)});

            TableRow row{nid,
                         {Prop::Int32(0x0E20, size), Prop::Int32(0x3705, attachedMessage ? 5 : 1),
                          Prop::Int32(0x370B, 0xFFFFFFFF)}};
            if (!a.shortName.empty()) row.cells.push_back(Text(0x3704, a.shortName, cp));
            table.rows.push_back(std::move(row));
        }
        node.subnodes.push_back({kNidAttachmentTable, ltp_.TableContext(table)});
        for (auto& a : attachments) node.subnodes.push_back(std::move(a));
    }
    return node;
}

void MailboxBuilder::WriteFolder(const FolderInfo& f) {
    auto folderProps = [&](const FolderInfo& x) {
        std::vector<Prop> props = {Text(0x3001, x.name, std::nullopt),
                                   Prop::Int32(0x3602, static_cast<uint32_t>(x.messages.size())),
                                   Prop::Int32(0x3603, 0), Prop::Bool(0x360A, !x.folders.empty())};
        if (!x.containerClass.empty())
            props.push_back(Text(0x3613, x.containerClass, std::nullopt));
        return props;
    };
    const uint16_t st = StringType();
    const StoredNode self = StoreNode(pst_, ltp_.PropertyContext(folderProps(f)));
    pst_.AddNode(f.nid, self.bidData, self.bidSub, f.parent);

    Table hierarchy;
    hierarchy.columns = {MakeTag(0x3001, st), MakeTag(0x3602, kPtLong), MakeTag(0x3603, kPtLong),
                         MakeTag(0x360A, kPtBoolean), MakeTag(0x3613, st)};
    for (uint32_t child : f.folders)
        hierarchy.rows.push_back({child, folderProps(FolderAt(child))});

    Table contents;
    const uint16_t rowProps[] = {0x0017, 0x001A, 0x0036, 0x0037, 0x0039, 0x0042, 0x0E03,
                                 0x0E04, 0x0E06, 0x0E07, 0x0E08, 0x0E17, 0x3008};
    contents.columns = {
        MakeTag(0x0017, kPtLong),   MakeTag(0x001A, st),         MakeTag(0x0036, kPtLong),
        MakeTag(0x0037, st),        MakeTag(0x0039, kPtSysTime), MakeTag(0x0042, st),
        MakeTag(0x0E03, st),        MakeTag(0x0E04, st),         MakeTag(0x0E06, kPtSysTime),
        MakeTag(0x0E07, kPtLong),   MakeTag(0x0E08, kPtLong),    MakeTag(0x0E17, kPtLong),
        MakeTag(0x3008, kPtSysTime)};
    for (uint32_t nid : f.messages) {
        auto it = std::find_if(messages_.begin(), messages_.end(),
                               [nid](const StoredMessage& s) { return s.nid == nid; });
        const std::vector<Prop> props = MessageProps(it->message);
        TableRow row{nid, {}};
        for (uint16_t id : rowProps)
            if (const Prop* p = FindProp(props, id)) row.cells.push_back(*p);
        contents.rows.push_back(std::move(row));
    }

    Table assoc;
    assoc.columns = {MakeTag(0x001A, st), MakeTag(0x0E07, kPtLong), MakeTag(0x3001, st)};

    const uint32_t index = f.nid & ~0x1Fu;
    const std::pair<uint32_t, const Table*> tables[] = {
        {index | kNidTypeHierarchyTable, &hierarchy},
        {index | kNidTypeContentsTable, &contents},
        {index | kNidTypeAssocContentsTable, &assoc}};
    for (const auto& [nid, table] : tables) {
        const StoredNode t = StoreNode(pst_, ltp_.TableContext(*table));
        pst_.AddNode(nid, t.bidData, t.bidSub, 0);
    }
}

void MailboxBuilder::WriteNodes() {
    // Messages first: they name the named properties the map must hold.
    for (const auto& f : folders_) {
        for (uint32_t nid : f.messages) {
            auto it = std::find_if(messages_.begin(), messages_.end(),
                                   [nid](const StoredMessage& s) { return s.nid == nid; });
            const StoredNode stored = StoreNode(pst_, MessageNode(it->message));
            pst_.AddNode(nid, stored.bidData, stored.bidSub, f.nid);
        }
    }
    for (const auto& f : folders_) WriteFolder(f);

    std::vector<Prop> store = {
        Prop::Binary(0x0FF9, std::vector<uint8_t>(kStoreUid.begin(), kStoreUid.end())),
        Text(0x3001, options_.storeName, std::nullopt),
        Prop::Int32(0x35DF, 0x89),  // subtree, wastebasket, finder valid
        Prop::Binary(0x35E0, EntryId(kNidTopOfPersonalFolders)),
        Prop::Binary(0x35E7, EntryId(kNidSearchRoot)),
        Prop::Int32(0x67FF, 0),  // no password
        Prop::Binary(0x7C07, EntryId(kNidRootFolder))};
    if (const uint32_t bin = Folder("Deleted Items"))
        store.push_back(Prop::Binary(0x35E3, EntryId(bin)));
    std::sort(store.begin(), store.end(), [](const Prop& a, const Prop& b) { return a.id < b.id; });
    const StoredNode s = StoreNode(pst_, ltp_.PropertyContext(store));
    pst_.AddNode(kNidMessageStore, s.bidData, s.bidSub, 0);

    // Outlook's map is never empty, and libpff refuses a file whose map has no entries.
    if (names_.empty()) {
        NamedId({kPsetidCommon, 0x8503, {}});        // reminder set
        NamedId({kPsPublicStrings, 0, "Keywords"});  // categories
    }
    const StoredNode map = StoreNode(pst_, ltp_.NameToIdMap(names_));
    pst_.AddNode(kNidNameToIdMap, map.bidData, map.bidSub, 0);

    // The empty tables Outlook copies when it makes folders and messages.
    const uint16_t st = StringType();
    const std::pair<uint32_t, std::vector<uint32_t>> templates[] = {
        {kNidHierarchyTemplate,
         {MakeTag(0x3001, st), MakeTag(0x3602, kPtLong), MakeTag(0x3603, kPtLong),
          MakeTag(0x360A, kPtBoolean), MakeTag(0x3613, st)}},
        {kNidContentsTemplate,
         {MakeTag(0x001A, st), MakeTag(0x0037, st), MakeTag(0x0E06, kPtSysTime),
          MakeTag(0x0E07, kPtLong)}},
        {kNidAssocTemplate, {MakeTag(0x001A, st), MakeTag(0x0E07, kPtLong)}},
        {kNidAttachmentTable,
         {MakeTag(0x0E20, kPtLong), MakeTag(0x3704, st), MakeTag(0x3705, kPtLong),
          MakeTag(0x370B, kPtLong)}},
        {kNidRecipientTable,
         {MakeTag(0x0C15, kPtLong), MakeTag(0x3001, st), MakeTag(0x3002, st),
          MakeTag(0x3003, st)}}};
    for (const auto& [nid, columns] : templates) {
        Table empty;
        empty.columns = columns;
        const StoredNode t = StoreNode(pst_, ltp_.TableContext(empty));
        pst_.AddNode(nid, t.bidData, t.bidSub, 0);
    }
}

std::vector<uint8_t> MailboxBuilder::Build() {
    if (!written_) {
        WriteNodes();
        written_ = true;
    }
    return pst_.Build();
}

void MailboxBuilder::WriteTo(const std::filesystem::path& path) {
    const std::vector<uint8_t> image = Build();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace kestrel::test
