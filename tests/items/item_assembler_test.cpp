#include "items/item_assembler.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "pstwrite/ltp_builder.h"
#include "support/mailbox_builder.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kString8 = 0x001E, kUnicode = 0x001F, kBinary = 0x0102;

PropertyValue Value(uint32_t id, uint16_t type, std::optional<Bytes> data, uint32_t nid = 0) {
    PropertyValue value;
    value.propertyId = id;
    value.type = type;
    value.typeOrNid = data ? type : nid;  // without data: the subnode that holds it
    value.data = std::move(data);
    return value;
}
// Strings as the files store them: 8-bit bytes, or UTF-16LE (from UTF-8 here).
PropertyValue Narrow(uint32_t id, std::string_view bytes) {
    return Value(id, kString8, Bytes(bytes.begin(), bytes.end()));
}
PropertyValue Wide(uint32_t id, std::string_view utf8) {
    return Value(id, kUnicode, test::Utf16(utf8));
}
PropertyValue Long(uint32_t id, uint32_t v) {
    return Value(id, 0x0003,
                 Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
PropertyValue Binary(uint32_t id, Bytes bytes) {
    return Value(id, kBinary, std::move(bytes));
}

PropertyGroupList Groups(std::vector<std::vector<PropertyValue>> rows) {
    PropertyGroupList groups;
    for (auto& row : rows) {
        groups.push_back({});
        groups.back().groupCount = static_cast<uint32_t>(rows.size());
        groups.back().values = std::move(row);
    }
    return groups;
}

const AssembleOptions kAnsi{PstVariant::Ansi, kWindows1252};
const AssembleOptions kUnicodeFile{PstVariant::Unicode, kWindows1252};

ItemRecord Assemble(std::vector<PropertyValue> values, const AssembleOptions& options = kAnsi) {
    ItemRecord item;
    PropertyGroupList groups = Groups({std::move(values)});
    EXPECT_EQ(AssembleItem(groups, item, options), 0);
    return item;
}

// "marker length text" of the subject record.
std::string Subject(std::vector<PropertyValue> values, const AssembleOptions& options = kAnsi) {
    ItemRecord item = Assemble(std::move(values), options);
    if (!item.message || !item.message->subject) return "<none>";
    const SubjectRecord& s = *item.message->subject;
    return std::to_string(s.prefixMarker) + " " + std::to_string(s.prefixLength) + " " + s.text;
}

TEST(AssembleSubject, OnlyTheMarkerStartsAPrefixAndTheNextCharacterIsItsLength) {
    EXPECT_EQ(Subject({Narrow(0x0037, "\x01\x04RE: Hello")}), "1 4 RE: Hello");
    // The length is the second UTF-16 unit, not the high byte of the marker.
    EXPECT_EQ(Subject({Wide(0x0037, "\x01\x04RE: Hello")}, kUnicodeFile), "1 4 RE: Hello");
    EXPECT_EQ(Subject({Narrow(0x0037, "\x01")}), "1 0 ");
    // Three bytes of UTF-16: the marker and half a length unit.
    EXPECT_EQ(Subject({Value(0x0037, kUnicode, Bytes{0x01, 0x00, 0x04})}, kUnicodeFile), "1 0 ");
    // An accented capital (0xC9 in Windows-1252) is text, not a marker with a length.
    EXPECT_EQ(Subject({Narrow(0x0037, "\xC9t\xE9 2024")}), "0 0 Été 2024");
    EXPECT_EQ(Subject({Narrow(0x0037, "\tindented")}), "0 0 \tindented");
    EXPECT_EQ(Subject({Wide(0x0037, "Ελλάδα")}, kUnicodeFile), "0 0 Ελλάδα");
    // A later empty subject leaves the message without one.
    EXPECT_EQ(Subject({Narrow(0x0037, "first"), Narrow(0x0037, "")}), "<none>");
}

// The subject's bytes are checked against the normalized subject and the conversation
// topic stored apart from it: a subject that no longer ends with them, where the two agree,
// is mended; a subject a sender changed (the topic then differs) is kept.
TEST(AssembleSubject, DamagedSubjectMendedFromTheCopiesBesideIt) {
    auto subject = [](std::string_view stored, std::string_view normalized,
                      std::string_view topic) {
        return Subject({Wide(0x0037, stored), Wide(0x0E1D, normalized), Wide(0x0070, topic)},
                       kUnicodeFile);
    };
    EXPECT_EQ(subject("\x01\x05RE: Pr\uF00Dces", "Précis", "Précis"), "1 5 RE: Précis");
    EXPECT_EQ(subject("采购成本为何居高\uF00D下", "采购成本为何居高不下", "采购成本为何居高不下"),
              "0 0 采购成本为何居高不下");
    EXPECT_EQ(subject("RE: Hello", "Hello", "Hello"), "0 0 RE: Hello");
    EXPECT_EQ(subject("Plans, changed", "Plans, changed", "Plans"), "0 0 Plans, changed");
    EXPECT_EQ(subject("Hellp", "Hello", "Hellx"), "0 0 Hellp");
    EXPECT_EQ(subject("Hi", "Hello there", "Hello there"), "0 0 Hello there");
    EXPECT_EQ(Subject({Wide(0x0037, "Hellp"), Wide(0x0070, "Hello")}, kUnicodeFile), "0 0 Hellp");
}

// The walk only measures a UTF-16 body; a sticky note's body is its text and is kept, and
// 8-bit bodies are converted as before.
TEST(AssembleText, MeasuredBodiesKeepOnlyTheirLengthButANoteKeepsItsText) {
    AssembleOptions measure = kUnicodeFile;
    measure.measureBody = true;
    const std::string text = "Grüße 日本 \U0001F600";
    ItemRecord mail = Assemble({Wide(0x001A, "IPM.Note"), Wide(0x1000, text)}, measure);
    ASSERT_TRUE(mail.message);
    EXPECT_EQ(mail.message->body, "");
    EXPECT_EQ(mail.message->bodyLength, text.size());

    ItemRecord note = Assemble({Wide(0x1000, text), Wide(0x001A, "IPM.StickyNote")}, measure);
    EXPECT_EQ(note.message->body, text);
    EXPECT_FALSE(note.message->bodyLength);

    ItemRecord narrow = Assemble({Wide(0x1000, "first"), Narrow(0x1000, "Caf\xE9")}, measure);
    EXPECT_EQ(narrow.message->body, "Café");
    EXPECT_FALSE(narrow.message->bodyLength);

    // HTML is only checked for text there; converted, it has text just as often.
    const std::pair<PropertyValue, bool> html[] = {{Binary(0x1013, {'<', 'p', '>'}), true},
                                                   {Binary(0x1013, {0}), true},
                                                   {Wide(0x1013, "<p>"), true},
                                                   {Value(0x1013, kUnicode, Bytes{0, 0}), false}};
    for (const auto& [value, text] : html) {
        for (const AssembleOptions* options :
             {static_cast<const AssembleOptions*>(&measure), &kUnicodeFile}) {
            ItemRecord item = Assemble({value}, *options);
            ASSERT_TRUE(item.message);
            EXPECT_EQ(item.message->hasHtmlText, text);
            EXPECT_EQ(item.message->bodyHtml.empty(), options == &measure || !text);
        }
    }
}

TEST(AssembleText, AnsiStringsUseTheMessageCodePageEvenWhenItComesLater) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {932, "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        // A property context lists 0x0037 before 0x3FFD.
        ItemRecord item =
            Assemble({Narrow(0x0037, c.bytes), Narrow(0x0042, c.bytes), Long(0x3FFD, c.codePage)});
        EXPECT_EQ(item.message->subject->text, c.utf8);
        EXPECT_EQ(item.message->senderName, c.utf8);
        EXPECT_EQ(item.messageCodePage, c.codePage);
    }
    // No code page named: Windows-1252.
    EXPECT_EQ(Subject({Narrow(0x0037, "Caf\xE9 \x80")}), "0 0 Café €");
    // A code page we do not know is no reason to lose the text.
    EXPECT_EQ(Subject({Narrow(0x0037, "Caf\xE9"), Long(0x3FFD, 4242)}), "0 0 Café");
}

TEST(AssembleText, BodyAndHtmlPreferTheInternetCodePage) {
    ItemRecord item = Assemble({Narrow(0x0037, "\xC0"), Narrow(0x1000, "\xC0\xC1"),
                                Binary(0x1013, {'<', 'p', '>', 0xD4, 0xE5, '<', '/', 'p', '>'}),
                                Long(0x3FDE, 1251), Long(0x3FFD, 1252)});
    EXPECT_EQ(item.message->subject->text, "À");
    EXPECT_EQ(item.message->body, "АБ");
    EXPECT_EQ(std::string(item.message->bodyHtml.begin(), item.message->bodyHtml.end()),
              "<p>Фе</p>");
    EXPECT_EQ(item.internetCodePage, 1251u);

    // HTML of a Unicode file with no code page named: UTF-8 stays as it is.
    const std::string html = "<p>日本</p>";
    ItemRecord utf8 = Assemble({Binary(0x1013, Bytes(html.begin(), html.end()))}, kUnicodeFile);
    EXPECT_EQ(std::string(utf8.message->bodyHtml.begin(), utf8.message->bodyHtml.end()), html);
}

TEST(AssembleText, ValueTypeDecidesOverTheVariant) {
    // An 8-bit string in a Unicode file is not read as UTF-16, and the reverse; text ends
    // at its first zero; binary values are kept whole.
    ItemRecord item = Assemble(
        {Narrow(0x0042, std::string("plain\0cd", 8)), Wide(0x0E04, std::string_view("Ωmega\0z", 8)),
         Binary(0x0FF9, {0x10, 0x00, 0x20, 0x00})},
        kUnicodeFile);
    EXPECT_EQ(item.message->senderName, "plain");
    EXPECT_EQ(item.message->displayTo, "Ωmega");
    EXPECT_EQ(item.recordKey, (Bytes{0x10, 0x00, 0x20, 0x00}));
    EXPECT_EQ(Assemble({Wide(0x0042, "Ωmega")}, kAnsi).message->senderName, "Ωmega");
    // A file of neither variant gets no strings.
    EXPECT_EQ(Assemble({Narrow(0x0042, "plain")}, AssembleOptions{}).message->senderName, "");
}

TEST(AssembleFields, WhicheverComesLastWinsAndClasses) {
    ItemRecord forward = Assemble({Narrow(0x0064, "SMTP"), Narrow(0x0065, "a@example.org"),
                                   Narrow(0x8700, "Phone call"), Narrow(0x8712, "Meeting")},
                                  kAnsi);
    EXPECT_EQ(forward.message->senderAddress, "a@example.org");
    EXPECT_EQ(forward.journal->entryType, "Meeting");
    ItemRecord backward = Assemble({Narrow(0x0076, "b@example.org"), Narrow(0x0075, "EX")});
    EXPECT_EQ(backward.message->receivedByAddress, "EX");

    EXPECT_EQ(Assemble({Narrow(0x001A, "")}, kAnsi).kind, ItemKind::Mail);
    EXPECT_EQ(Assemble({Narrow(0x3613, "IPF.StickyNote")}, kAnsi).kind, ItemKind::StickyNote);
    // No class, or a class value without data: not classified.
    EXPECT_EQ(Assemble({Narrow(0x0037, "no class")}, kAnsi).kind, ItemKind::Unclassified);
    EXPECT_EQ(Assemble({Value(0x001A, kString8, std::nullopt)}, kAnsi).kind,
              ItemKind::Unclassified);
}

TEST(AssembleContact, EmailNeedsAnAtSignAndTheLastQualifyingValueWins) {
    EXPECT_FALSE(Assemble({Narrow(0x3003, "not an address")}, kAnsi).contact);
    ItemRecord item = Assemble({Narrow(0x3003, "first@example.org"), Narrow(0x8048, "Display Name"),
                                Narrow(0x8084, "x@y")},
                               kAnsi);
    EXPECT_EQ(item.contact->emailAddress, "x@y");
    // The check runs on the converted text: 0x40 as the second byte of a Shift_JIS
    // character is no at sign.
    EXPECT_FALSE(Assemble({Narrow(0x3003, "\x83\x40\x83\x43"), Long(0x3FFD, 932)}, kAnsi).contact);
}

TEST(AssembleContact, PropertiesFillTheirOwnFields) {
    using C = ContactRecord;
    // A sample of the fields table: plain ids, named ones, and ids next to each other.
    const std::pair<uint32_t, std::string C::*> table[] = {{0x3A16, &C::companyName},
                                                           {0x3A15, &C::postalAddress},
                                                           {0x3A17, &C::title},
                                                           {0x8005, &C::fileUnder},
                                                           {0x3A1C, &C::mobilePhone},
                                                           {0x3A1B, &C::business2Phone},
                                                           {0x3A1D, &C::radioPhone},
                                                           {0x3A06, &C::givenName},
                                                           {0x3A11, &C::surname},
                                                           {0x801B, &C::workAddress},
                                                           {0x801C, &C::otherAddress},
                                                           {0x8534, &C::mileage},
                                                           {0x80D8, &C::freeBusyLocation},
                                                           {0x3A45, &C::displayNamePrefix}};
    std::vector<PropertyValue> values;
    for (const auto& [id, field] : table) values.push_back(Narrow(id, std::to_string(id)));
    values.push_back(Value(0x3A4D, 0x0002, Bytes{2, 0, 0, 0}));
    values.push_back(Binary(0x3A42, {0x42}));
    ItemRecord item = Assemble(std::move(values));
    for (const auto& [id, field] : table) {
        EXPECT_EQ((*item.contact).*field, std::to_string(id)) << std::hex << id;
    }
    EXPECT_EQ(item.contact->gender, 2);
    EXPECT_EQ(item.contact->birthday, Bytes{0x42});
    EXPECT_TRUE(item.contact->emailAddress.empty());
}

TEST(AssembleNamed, FirstTwoStringNamedValuesOfTheCall) {
    PropertyGroupList groups = Groups(
        {{Value(2, kBinary, std::nullopt), Binary(2, {1}), Binary(0x0037, {}), Binary(2, {2})},
         {Binary(2, {3})}});
    ItemRecord item;
    AssembleItem(groups, item, kAnsi);
    EXPECT_EQ(item.message->namedValue1, Bytes{1});
    EXPECT_EQ(item.message->namedValue2, Bytes{2});
}

TEST(AssembleAttachments, TheIthRowFillsTheIthRecord) {
    ItemRecord item;
    item.attachments.resize(3);
    item.currentAttachment = 0;
    PropertyGroupList table = Groups({
        {Long(0x67F2, 0x8025), Narrow(0x3704, "A.TXT"), Narrow(0x3707, "a long.txt")},
        {Narrow(0x0E1D, "a row without attachment values")},
        {Long(0x67F2, 0x8065), Narrow(0x3707, "third")},
        {Narrow(0x3707, "no record left")},
    });
    AssembleItem(table, item, kAnsi);
    EXPECT_EQ(item.attachments[0].shortName, "A.TXT");
    EXPECT_EQ(item.attachments[0].longName, "a long.txt");
    EXPECT_EQ(item.attachments[0].rowId, 0x8025u);
    EXPECT_EQ(item.attachments[1].rowId, 0u);
    EXPECT_EQ(item.attachments[2].longName, "third");
    EXPECT_EQ(item.attachments[2].rowId, 0x8065u);
    EXPECT_FALSE(item.message);
}

TEST(AssembleAttachments, OwnContextFillsOnlyTheCurrentRecord) {
    ItemRecord item;
    item.displayName = "message";
    item.attachments.resize(2);
    item.currentAttachment = 1;
    PropertyGroupList own =
        Groups({{Binary(0x3701, {'d', 'a', 't', 'a'}), Wide(0x3707, "отчёт.pdf"),
                 Wide(0x3001, "photo.jpg"), Binary(0x0FF9, {7})}});
    AssembleItem(own, item, kUnicodeFile);
    EXPECT_EQ(item.attachments[1].data, (Bytes{'d', 'a', 't', 'a'}));
    EXPECT_EQ(item.attachments[1].dataSize, 4u);
    EXPECT_EQ(item.attachments[1].longName, "отчёт.pdf");
    // The attachment's display name and record key are not the message's.
    EXPECT_EQ(item.displayName, "message");
    EXPECT_TRUE(item.recordKey.empty());

    // Data that could not be read leaves the NID of the subnode that holds it.
    item.currentAttachment = 0;
    PropertyGroupList unread = Groups({{Value(0x3701, kBinary, std::nullopt, 0x8122F)}});
    AssembleItem(unread, item, kUnicodeFile);
    EXPECT_EQ(item.attachments[0].rowId, 0x8122Fu);

    // Without a current record attachment values go nowhere.
    ItemRecord message;
    PropertyGroupList stray = Groups({{Narrow(0x3707, "stray")}});
    AssembleItem(stray, message, kAnsi);
    EXPECT_TRUE(message.Empty());
}

TEST(AssembleRtf, DecodedTextStaysWithTheMessage) {
    const std::string rtf = "{\\rtf1\\ansi body}";
    ItemRecord kept = Assemble({Binary(0x1009, test::CompressRtf(rtf, false))}, kUnicodeFile);
    ASSERT_TRUE(kept.message);
    EXPECT_TRUE(kept.message->hasRtfBody);
    EXPECT_EQ(kept.message->rtfBody, rtf);
}

}  // namespace
}  // namespace kestrel
