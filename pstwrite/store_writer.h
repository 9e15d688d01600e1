#pragma once
// A whole message store written as a new Unicode PST: the nodes every PST must have (the
// store, the name-to-ID map, templates, root folder, IPM subtree, search root, Deleted
// Items, the search nodes), then folders and their items as the caller adds them. Each
// message is written at once; a folder's own properties and contents tables when it is
// closed; the hierarchy tables, the name map and the B-trees at Finish().
//
//   StoreWriter store(fd, 1, "Personal Folders");
//   uint32_t inbox = store.AddFolder(store.IpmSubtree(), {Prop::Unicode(0x3001, "Inbox")});
//   store.AddMessage(inbox, message);
//   store.CloseFolder(inbox);
//   store.Finish();
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "pstwrite/ltp_builder.h"
#include "pstwrite/ndb_writer.h"

namespace kestrel::pstwrite {

using test::Guid;
using test::Prop;

struct MessageContent;
struct AttachmentContent {
    std::vector<Prop> props;
    std::unique_ptr<MessageContent> embedded;  // attach method 5: the message it holds
    // Or that message's node as the source holds it (heap and subnodes), written as is.
    std::optional<test::LtpNode> rawEmbedded;
};
struct MessageContent {
    std::vector<Prop> props;                    // every property, named ones already mapped
    std::vector<std::vector<Prop>> recipients;  // one row per recipient
    std::vector<AttachmentContent> attachments;
};

class StoreWriter {
  public:
    StoreWriter(int fd, uint8_t cryptMethod, std::string storeName);

    uint32_t IpmSubtree() const;
    // The folder the store names as its wastebasket; without one, Finish() adds an empty
    // "Deleted Items" under the IPM subtree.
    void SetWastebasket(uint32_t folderNid) { wastebasket_ = folderNid; }

    // The property id a named property gets in the new map (0x8000 + its index): a
    // numeric name when name is empty, else the string name. With duplicate a new entry is
    // added even for a name the map holds (a source map copied entry for entry); lookups
    // keep answering with the first.
    uint16_t NamedId(const Guid& guid, uint32_t lid, const std::string& name,
                     bool duplicate = false);

    // Sets the properties of a folder that exists from the start (the IPM subtree or
    // Deleted Items) instead of adding a new one; props without counters.
    void SetFolderProps(uint32_t folderNid, std::vector<Prop> props);
    // A new folder under parent; props without its counters (they are written).
    uint32_t AddFolder(uint32_t parentNid, std::vector<Prop> props);
    // A message (or, associated, a hidden item of the folder's associated contents).
    uint32_t AddMessage(uint32_t folderNid, const MessageContent& message, bool associated = false);
    // Writes the folder's properties and its contents tables. A folder left open is closed
    // by Finish().
    void CloseFolder(uint32_t folderNid);
    void Finish();

    uint64_t fileSize() const { return ndb_.fileSize(); }

  private:
    struct FolderState {
        uint32_t parent = 0;
        std::vector<Prop> props;
        std::vector<test::TableRow> contents;
        std::vector<test::TableRow> associated;
        uint32_t unread = 0;
        bool closed = false;
        // For the parent's hierarchy table, kept once closed.
        std::vector<Prop> hierarchyRow;
        std::vector<uint32_t> children;
    };
    test::LtpNode MessageNode(const MessageContent& message, int depth);
    void PlaceObjects(std::vector<Prop>& props, std::vector<test::LtpSubnode>& subnodes);
    void WriteNode(uint32_t nid, const test::LtpNode& node, uint32_t parent);
    void WriteMandatoryNodes();
    void WriteStore();
    uint32_t NewFolderNid();

    NdbWriter ndb_;
    test::LtpBuilder ltp_{PstVariant::Unicode};
    std::string storeName_;
    Guid recordKey_{};
    std::map<uint32_t, FolderState> folders_;
    std::vector<test::NameId> names_;
    std::map<std::tuple<Guid, uint32_t, std::string>, uint16_t> nameIndex_;
    uint32_t wastebasket_ = 0;
    uint32_t nextFolderIndex_ = 0x403;
    uint32_t nextMessageIndex_ = 0x400;
    bool finished_ = false;
};

}  // namespace kestrel::pstwrite
