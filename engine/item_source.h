#pragma once
// Reads any item of an analysed file again, in full, after the analysis has closed it:
// bodies, HTML, RTF, attachment data, recipients and embedded messages. It keeps the
// loaded indexes and the named-property map, and reopens the file read-only for each
// read (or once for a whole save, see Hold) after checking that it has not changed since
// the analysis.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "items/item_context.h"
#include "items/item_record.h"
#include "items/message_parts.h"
#include "storage/pst_context.h"

namespace kestrel {

// Where the decoded RTF of the message being previewed goes: CacheFolder()/"temp.rtf".
std::filesystem::path PreviewRtfFile();

struct FullItem {
    uint32_t nid = 0;
    uint64_t dataBid = 0;  // the node's data block: with nid, what tells two copies apart
    std::unique_ptr<ItemRecord> item;  // never null in a returned FullItem
    std::vector<RecipientEntry> recipients;
    // Messages attached to this one (attach method 5); attachmentIndex is the index into
    // item->attachments of the attachment that holds it.
    struct Embedded {
        size_t attachmentIndex = 0;
        std::unique_ptr<FullItem> message;
    };
    std::vector<Embedded> embedded;
};

// The file changed (size or modification time) since the analysis read it.
class SourceChangedError : public FileError {
  public:
    using FileError::FileError;
};

class ItemSource {
  public:
    // Takes over the context of a finished analysis whose file is still open, and its
    // named-property map: the file's size and modification time are what later reads check
    // against. The file is closed here.
    ItemSource(std::unique_ptr<PstContext> context,
               std::shared_ptr<const NamedPropertyMap> namedProps, std::string path);
    ~ItemSource();
    ItemSource(const ItemSource&) = delete;
    ItemSource& operator=(const ItemSource&) = delete;

    const std::string& path() const { return path_; }
    PstVariant variant() const;

    // The full item of node nid, or null when the node is not in the tree or gives no
    // item. rtfFile, when not empty, receives the decoded RTF body. Throws FileError when
    // the file cannot be reopened, SourceChangedError when it changed. One reader at a
    // time: concurrent calls take turns.
    std::unique_ptr<FullItem> Load(uint32_t nid, const std::filesystem::path& rtfFile = {});
    // The same for the node of nid whose data block is dataBid (a list entry's dataBid), so
    // that two nodes a damaged tree gives one NID each open as themselves; the node Load
    // finds when no node of nid reads that block.
    std::unique_ptr<FullItem> Load(uint32_t nid, uint64_t dataBid,
                                   const std::filesystem::path& rtfFile = {});

    // While a Hold lives, the file stays open from one read to the next: a save reads
    // thousands of items. Reads still fail with SourceChangedError once the file's size
    // changes, and a look at its size and time on disk every few reads catches the rest.
    class Hold {
      public:
        explicit Hold(ItemSource& source);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        ItemSource& source_;
    };

    // Opens the file once (checked as Load checks it) and hands the reader state to use,
    // for a caller that reads many nodes in one go; the file is closed afterwards unless a
    // Hold keeps it open.
    void Read(const std::function<void(ItemContext&)>& use);

  private:
    // Opens (or, while held, re-checks) the file before a read; true when the read must close
    // it afterwards.
    bool ReadyToRead();
    void OpenChecked();
    void CheckHeldFile();

    std::unique_ptr<PstContext> context_;
    ItemContext items_;
    std::string path_;
    uint64_t size_ = 0;
    int64_t mtimeNs_ = 0;
    bool inMemory_ = false;
    int holds_ = 0;
    uint64_t heldReads_ = 0;
    bool changed_ = false;  // a held file was seen to change
    std::mutex mutex_;
};

}  // namespace kestrel
