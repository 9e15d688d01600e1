#include "engine/message_summary.h"

#include <array>
#include <cstring>

namespace kestrel {

namespace {

// Little-endian base-128 numbers: a text under 128 bytes costs one byte of length.
size_t NumberSize(uint64_t value) {
    size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

char* PutNumber(char* out, uint64_t value) {
    while (value >= 0x80) {
        *out++ = static_cast<char>(0x80 | (value & 0x7F));
        value >>= 7;
    }
    *out++ = static_cast<char>(value);
    return out;
}

// The block is our own, written by PutNumber: no bounds to check.
uint64_t GetNumber(const char*& in) {
    uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*in++);
        value |= static_cast<uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
}

// Classes nearly every message has are kept as a number instead of their text.
constexpr std::array<std::string_view, 6> kCommonClasses = {
    "IPM.Note",           "IPM.Note.SMIME",      "IPM.Note.SMIME.MultipartSigned",
    "REPORT.IPM.Note.DR", "REPORT.IPM.Note.NDR", "IPM.Schedule.Meeting.Request"};

// The class's entry in the head: its length times two, or a common class's index times two
// plus one.
uint64_t ClassCode(std::string_view className) {
    for (size_t i = 0; i < kCommonClasses.size(); ++i) {
        if (className == kCommonClasses[i]) return 2 * i + 1;
    }
    return 2 * static_cast<uint64_t>(className.size());
}

// The block's head: the bytes after the first number, the class's code, the five other
// texts' lengths, the attachment count. Then the texts one after another (the class's only
// when it is no common one), then per attachment its size, its name's length and its name.
struct Head {
    std::array<uint64_t, 6> lengths{};  // bytes of each text in the block
    std::string_view commonClass;       // the class when it is a common one
    uint64_t attachments = 0;
    const char* texts = nullptr;  // the first text's first byte
};

Head ReadHead(const char* block) {
    Head head;
    const char* at = block;
    GetNumber(at);
    const uint64_t classCode = GetNumber(at);
    if (classCode % 2 == 1)
        head.commonClass = kCommonClasses[classCode / 2];
    else
        head.lengths[0] = classCode / 2;
    for (size_t i = 1; i < head.lengths.size(); ++i) head.lengths[i] = GetNumber(at);
    head.attachments = GetNumber(at);
    head.texts = at;
    return head;
}

}  // namespace

AttachmentView AttachmentRange::Iterator::operator*() const {
    const char* at = at_;
    AttachmentView view;
    view.size = GetNumber(at);
    const uint64_t length = GetNumber(at);
    view.name = std::string_view(at, length);
    return view;
}

AttachmentRange::Iterator& AttachmentRange::Iterator::operator++() {
    GetNumber(at_);
    const uint64_t length = GetNumber(at_);
    at_ += length;
    --left_;
    return *this;
}

MessageSummary::MessageSummary(const MessageSummary& other)
    : nid(other.nid),
      folderNid(other.folderNid),
      messageFlags(other.messageFlags),
      hasSubject(other.hasSubject),
      hasHtml(other.hasHtml),
      hasRtf(other.hasRtf),
      timesSet_(other.timesSet_),
      deliveryTime_(other.deliveryTime_),
      submitTime_(other.submitTime_),
      bodyLength(other.bodyLength),
      dataBid(other.dataBid) {
    if (const size_t size = other.PackedSize()) {
        packed_ = std::make_unique_for_overwrite<char[]>(size);
        std::memcpy(packed_.get(), other.packed_.get(), size);
    }
}

MessageSummary& MessageSummary::operator=(const MessageSummary& other) {
    if (this != &other) *this = MessageSummary(other);
    return *this;
}

size_t MessageSummary::PackedSize() const {
    if (!packed_) return 0;
    const char* at = packed_.get();
    const uint64_t rest = GetNumber(at);
    return static_cast<size_t>(at - packed_.get()) + rest;
}

std::string_view MessageSummary::TextAt(size_t index) const {
    if (!packed_) return {};
    const Head head = ReadHead(packed_.get());
    if (index == kClassName && !head.commonClass.empty()) return head.commonClass;
    size_t offset = 0;
    for (size_t i = 0; i < index; ++i) offset += head.lengths[i];
    return std::string_view(head.texts + offset, head.lengths[index]);
}

MessageSummary::Texts MessageSummary::AllTexts() const {
    return {className(), subject(), from(), fromAddress(), to(), cc()};
}

AttachmentRange MessageSummary::attachments() const {
    if (!packed_) return AttachmentRange(nullptr, 0);
    const Head head = ReadHead(packed_.get());
    size_t offset = 0;
    for (const uint64_t length : head.lengths) offset += length;
    return AttachmentRange(head.texts + offset, head.attachments);
}

std::optional<uint64_t> MessageSummary::deliveryTime() const {
    if (timesSet_ & kDeliverySet) return deliveryTime_;
    return std::nullopt;
}

std::optional<uint64_t> MessageSummary::submitTime() const {
    if (timesSet_ & kSubmitSet) return submitTime_;
    return std::nullopt;
}

void MessageSummary::SetDeliveryTime(std::optional<uint64_t> filetime) {
    deliveryTime_ = filetime.value_or(0);
    timesSet_ = filetime ? (timesSet_ | kDeliverySet) : (timesSet_ & ~kDeliverySet);
}

void MessageSummary::SetSubmitTime(std::optional<uint64_t> filetime) {
    submitTime_ = filetime.value_or(0);
    timesSet_ = filetime ? (timesSet_ | kSubmitSet) : (timesSet_ & ~kSubmitSet);
}

template <typename Attachments>
void MessageSummary::Pack(const Texts& texts, const Attachments& attachments) {
    const uint64_t classCode = ClassCode(texts.className);
    // The class's text goes in only when it is no common one.
    const std::array<std::string_view, kTextCount> parts = {
        classCode % 2 == 1 ? std::string_view() : texts.className,
        texts.subject,
        texts.from,
        texts.fromAddress,
        texts.to,
        texts.cc};
    size_t rest = NumberSize(classCode);
    size_t count = 0;
    for (size_t i = 1; i < parts.size(); ++i) rest += NumberSize(parts[i].size());
    for (const std::string_view part : parts) rest += part.size();
    for (const auto& attachment : attachments) {
        rest += NumberSize(attachment.size) + NumberSize(attachment.name.size()) +
                attachment.name.size();
        ++count;
    }
    rest += NumberSize(count);
    if (count == 0 && classCode == 0 && rest == parts.size() + 1) {
        // Every text empty and no attachment: nothing worth a block.
        packed_.reset();
        return;
    }
    // The new block is filled before the old one goes: the texts may point into it.
    auto block = std::make_unique_for_overwrite<char[]>(NumberSize(rest) + rest);
    char* out = PutNumber(block.get(), rest);
    out = PutNumber(out, classCode);
    for (size_t i = 1; i < parts.size(); ++i) out = PutNumber(out, parts[i].size());
    out = PutNumber(out, count);
    for (const std::string_view part : parts) {
        if (!part.empty()) std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    for (const auto& attachment : attachments) {
        out = PutNumber(out, attachment.size);
        out = PutNumber(out, attachment.name.size());
        if (!attachment.name.empty())
            std::memcpy(out, attachment.name.data(), attachment.name.size());
        out += attachment.name.size();
    }
    packed_ = std::move(block);
}

void MessageSummary::SetTexts(const Texts& texts, std::span<const AttachmentSummary> attachments) {
    Pack(texts, attachments);
}

void MessageSummary::SetOne(size_t index, std::string_view text) {
    Texts texts = AllTexts();
    std::string_view* const fields[kTextCount] = {&texts.className,   &texts.subject, &texts.from,
                                                  &texts.fromAddress, &texts.to,      &texts.cc};
    *fields[index] = text;
    Pack(texts, attachments());
}

void MessageSummary::SetAttachments(std::span<const AttachmentSummary> attachments) {
    Pack(AllTexts(), attachments);
}

}  // namespace kestrel
