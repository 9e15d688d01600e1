#pragma once
// The light record the lists keep for every listed message. A large file lists a hundred
// thousand of them, so the record is small: its six texts and its attachments' names and
// sizes share one heap block (lengths as variable-length numbers in front), read through
// accessors; the two times are values with a flag. A message without texts holds no block.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel {

struct AttachmentSummary {
    std::string name;   // the long file name, else the short one
    uint64_t size = 0;  // bytes of the attachment's data
};

// An attachment as a summary keeps it; name points into the summary.
struct AttachmentView {
    std::string_view name;
    uint64_t size = 0;
};

// The attachments of one summary in their order; valid while the summary is unchanged.
class AttachmentRange {
  public:
    class Iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = AttachmentView;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = AttachmentView;

        Iterator() = default;
        AttachmentView operator*() const;
        Iterator& operator++();
        void operator++(int) { ++*this; }
        bool operator==(const Iterator& other) const { return left_ == other.left_; }

      private:
        friend class AttachmentRange;
        Iterator(const char* at, size_t left) : at_(at), left_(left) {}
        const char* at_ = nullptr;
        size_t left_ = 0;
    };

    Iterator begin() const { return Iterator(first_, count_); }
    Iterator end() const { return Iterator(nullptr, 0); }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

  private:
    friend class MessageSummary;
    AttachmentRange(const char* first, size_t count) : first_(first), count_(count) {}
    const char* first_ = nullptr;
    size_t count_ = 0;
};

// Every list entry names its node by NID and by the BID of the node's data block: damage
// can leave two nodes with one NID, and the data block then tells which one is meant.
class MessageSummary {
  public:
    // The texts a summary keeps, all set at once.
    struct Texts {
        std::string_view className;
        std::string_view subject;
        std::string_view from;         // sender name (0x0042)
        std::string_view fromAddress;  // sender address
        std::string_view to;           // display To
        std::string_view cc;           // display Cc
    };

    uint32_t nid = 0;
    uint32_t folderNid = 0;  // the NID of the node's parent (the folder it was filed from)
    uint32_t messageFlags = 0;
    bool hasSubject = false;  // the item had a subject record (possibly with empty text)
    bool hasHtml = false;
    bool hasRtf = false;

  private:
    uint8_t timesSet_ = 0;  // kDeliverySet, kSubmitSet
    uint64_t deliveryTime_ = 0;
    uint64_t submitTime_ = 0;
    std::unique_ptr<char[]> packed_;  // the texts and attachments; null when all are empty

  public:
    uint64_t bodyLength = 0;  // bytes of the plain-text body (UTF-8)
    uint64_t dataBid = 0;     // the node's data block

    MessageSummary() = default;
    MessageSummary(const MessageSummary& other);
    MessageSummary& operator=(const MessageSummary& other);
    MessageSummary(MessageSummary&&) noexcept = default;
    MessageSummary& operator=(MessageSummary&&) noexcept = default;
    ~MessageSummary() = default;

    std::string_view className() const { return TextAt(kClassName); }
    std::string_view subject() const { return TextAt(kSubject); }
    std::string_view from() const { return TextAt(kFrom); }
    std::string_view fromAddress() const { return TextAt(kFromAddress); }
    std::string_view to() const { return TextAt(kTo); }
    std::string_view cc() const { return TextAt(kCc); }
    AttachmentRange attachments() const;

    std::optional<uint64_t> deliveryTime() const;  // FILETIME
    std::optional<uint64_t> submitTime() const;    // FILETIME
    void SetDeliveryTime(std::optional<uint64_t> filetime);
    void SetSubmitTime(std::optional<uint64_t> filetime);

    // Sets every text and the attachments in one go: the summarizer's way.
    void SetTexts(const Texts& texts, std::span<const AttachmentSummary> attachments = {});
    // One text or the attachments at a time, the others kept (each packs the block anew).
    void SetClassName(std::string_view text) { SetOne(kClassName, text); }
    void SetSubject(std::string_view text) { SetOne(kSubject, text); }
    void SetFrom(std::string_view text) { SetOne(kFrom, text); }
    void SetFromAddress(std::string_view text) { SetOne(kFromAddress, text); }
    void SetTo(std::string_view text) { SetOne(kTo, text); }
    void SetCc(std::string_view text) { SetOne(kCc, text); }
    void SetAttachments(std::span<const AttachmentSummary> attachments);

    // Bytes of the heap block (0 when there is none).
    size_t PackedSize() const;

  private:
    enum TextIndex : size_t { kClassName, kSubject, kFrom, kFromAddress, kTo, kCc, kTextCount };
    static constexpr uint8_t kDeliverySet = 1;
    static constexpr uint8_t kSubmitSet = 2;

    std::string_view TextAt(size_t index) const;
    Texts AllTexts() const;
    void SetOne(size_t index, std::string_view text);
    // Packs texts and the attachments given as (name, size) pairs read through at.
    template <typename Attachments>
    void Pack(const Texts& texts, const Attachments& attachments);
};

}  // namespace kestrel
