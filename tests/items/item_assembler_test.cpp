#include "items/item_assembler.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kLong = 0x0003;
constexpr uint16_t kString8 = 0x001E;
constexpr uint16_t kUnicode = 0x001F;
constexpr uint16_t kBinary = 0x0102;

PropertyValue Value(uint32_t id, uint16_t type, Bytes data) {
    PropertyValue value;
    value.propertyId = id;
    value.type = type;
    value.typeOrNid = type;
    value.data = std::move(data);
    return value;
}

// An 8-bit string as the file stores it (no closing zero).
PropertyValue Narrow(uint32_t id, std::string_view bytes) {
    return Value(id, kString8, Bytes(bytes.begin(), bytes.end()));
}

// A UTF-16LE string as a Unicode file stores it.
PropertyValue Wide(uint32_t id, std::u16string_view text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return Value(id, kUnicode, std::move(bytes));
}

PropertyValue Long(uint32_t id, uint32_t v) {
    return Value(id, kLong,
                 {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                  static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
}

PropertyValue Binary(uint32_t id, Bytes bytes) {
    return Value(id, kBinary, std::move(bytes));
}

PropertyValue NoData(uint32_t id, uint16_t type, uint32_t nid) {
    PropertyValue value;
    value.propertyId = id;
    value.type = type;
    value.typeOrNid = nid;
    return value;
}

PropertyGroupList Groups(std::vector<std::vector<PropertyValue>> rows) {
    PropertyGroupList groups;
    for (auto& row : rows) {
        PropertyGroup group;
        group.groupCount = static_cast<uint32_t>(rows.size());
        group.values = std::move(row);
        groups.push_back(std::move(group));
    }
    return groups;
}

AssembleOptions Ansi() {
    return {PstVariant::Ansi, {}, kWindows1252};
}
AssembleOptions Unicode() {
    return {PstVariant::Unicode, {}, kWindows1252};
}

ItemRecord Assemble(std::vector<PropertyValue> values, const AssembleOptions& options) {
    ItemRecord item;
    PropertyGroupList groups = Groups({std::move(values)});
    EXPECT_EQ(AssembleItem(groups, item, options), 0);
    return item;
}

std::string SubjectText(const ItemRecord& item) {
    if (!item.message || !item.message->subject) return "<none>";
    return item.message->subject->text;
}

TEST(AssembleSubject, MarkerAndLengthInBothVariants) {
    ItemRecord ansi = Assemble({Narrow(0x0037, "\x01\x04RE: Hello")}, Ansi());
    ASSERT_TRUE(ansi.message && ansi.message->subject);
    EXPECT_EQ(ansi.message->subject->prefixMarker, 1u);
    EXPECT_EQ(ansi.message->subject->prefixLength, 4u);
    EXPECT_EQ(ansi.message->subject->text, "RE: Hello");

    // The length is the second UTF-16 unit, not the high byte of the marker.
    ItemRecord wide = Assemble({Wide(0x0037, u"\x0001\x0004RE: Hello")}, Unicode());
    ASSERT_TRUE(wide.message && wide.message->subject);
    EXPECT_EQ(wide.message->subject->prefixMarker, 1u);
    EXPECT_EQ(wide.message->subject->prefixLength, 4u);
    EXPECT_EQ(wide.message->subject->text, "RE: Hello");

    ItemRecord plain = Assemble({Narrow(0x0037, "Hello")}, Ansi());
    ASSERT_TRUE(plain.message && plain.message->subject);
    EXPECT_EQ(plain.message->subject->prefixMarker, 0u);
    EXPECT_EQ(plain.message->subject->prefixLength, 0u);
    EXPECT_EQ(plain.message->subject->text, "Hello");
}

TEST(AssembleSubject, OnlyTheMarkerStartsAPrefix) {
    // An accented capital (0xC9 in Windows-1252) is text, not a marker with a length.
    ItemRecord accented = Assemble({Narrow(0x0037, "\xC9t\xE9 2024")}, Ansi());
    ASSERT_TRUE(accented.message && accented.message->subject);
    EXPECT_EQ(accented.message->subject->prefixMarker, 0u);
    EXPECT_EQ(accented.message->subject->text, "Été 2024");

    ItemRecord tab = Assemble({Narrow(0x0037, "\tindented")}, Ansi());
    EXPECT_EQ(SubjectText(tab), "\tindented");

    ItemRecord greek = Assemble({Wide(0x0037, u"Ελλάδα")}, Unicode());
    EXPECT_EQ(greek.message->subject->prefixMarker, 0u);
    EXPECT_EQ(SubjectText(greek), "Ελλάδα");
}

TEST(AssembleSubject, EmptyOrCutShortValues) {
    // A later empty subject leaves the message without one.
    ItemRecord emptied = Assemble({Narrow(0x0037, "first"), Narrow(0x0037, "")}, Ansi());
    ASSERT_TRUE(emptied.message);
    EXPECT_FALSE(emptied.message->subject);

    ItemRecord markerOnly = Assemble({Narrow(0x0037, "\x01")}, Ansi());
    ASSERT_TRUE(markerOnly.message && markerOnly.message->subject);
    EXPECT_EQ(markerOnly.message->subject->prefixMarker, 1u);
    EXPECT_EQ(markerOnly.message->subject->prefixLength, 0u);
    EXPECT_EQ(markerOnly.message->subject->text, "");

    // Three bytes of UTF-16: the marker and half a length unit.
    ItemRecord odd = Assemble({Value(0x0037, kUnicode, {0x01, 0x00, 0x04})}, Unicode());
    ASSERT_TRUE(odd.message && odd.message->subject);
    EXPECT_EQ(odd.message->subject->text, "");
}

TEST(AssembleText, UnicodeScriptsAndEmojiSurvive) {
    const std::u16string subject = u"Ελλάδα Россия עברית 日本語 한국어 😀📁";
    const std::string utf8 = "Ελλάδα Россия עברית 日本語 한국어 😀📁";
    ItemRecord item =
        Assemble({Wide(0x0037, subject), Wide(0x0042, u"Ζωή Müller"), Wide(0x6619, u"Предпросмотр"),
                  Wide(0x1000, u"Тело 😀"), Wide(0x3001, u"Папка")},
                 Unicode());
    EXPECT_EQ(SubjectText(item), utf8);
    EXPECT_EQ(item.message->senderName, "Ζωή Müller");
    EXPECT_EQ(item.message->body, "Тело 😀");
    EXPECT_EQ(item.displayName, "Папка");
    EXPECT_EQ(item.message->extraText, "Предпросмотр");
}

TEST(AssembleText, AnsiStringsUseTheMessageCodePageEvenWhenItComesLater) {
    struct Case {
        uint32_t codePage;
        std::string bytes;
        std::string utf8;
    };
    const Case cases[] = {
        {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        {1253, "\xC3\xE5\xE9\xDC", "Γειά"},
        {1255, "\xF9\xEC\xE5\xED", "שלום"},
        {932, "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        // A property context lists 0x0037 before 0x3FFD.
        ItemRecord item = Assemble(
            {Narrow(0x0037, c.bytes), Narrow(0x0042, c.bytes), Long(0x3FFD, c.codePage)}, Ansi());
        EXPECT_EQ(SubjectText(item), c.utf8);
        EXPECT_EQ(item.message->senderName, c.utf8);
        EXPECT_EQ(item.messageCodePage, c.codePage);
    }
    // No code page named: Windows-1252.
    EXPECT_EQ(SubjectText(Assemble({Narrow(0x0037, "Caf\xE9 \x80")}, Ansi())), "Café €");
    // A code page we do not know is no reason to lose the text.
    EXPECT_EQ(SubjectText(Assemble({Narrow(0x0037, "Caf\xE9"), Long(0x3FFD, 4242)}, Ansi())),
              "Café");
}

TEST(AssembleText, BodyAndHtmlPreferTheInternetCodePage) {
    ItemRecord item = Assemble({Narrow(0x0037, "\xC0"), Narrow(0x1000, "\xC0\xC1"),
                                Binary(0x1013, {'<', 'p', '>', 0xD4, 0xE5, '<', '/', 'p', '>'}),
                                Long(0x3FDE, 1251), Long(0x3FFD, 1252)},
                               Ansi());
    EXPECT_EQ(SubjectText(item), "À");
    EXPECT_EQ(item.message->body, "АБ");
    EXPECT_EQ(std::string(item.message->bodyHtml.begin(), item.message->bodyHtml.end()),
              "<p>Фе</p>");
    EXPECT_EQ(item.internetCodePage, 1251u);

    // HTML of a Unicode file with no code page named: UTF-8 stays as it is.
    const std::string html = "<p>日本</p>";
    ItemRecord utf8 = Assemble({Binary(0x1013, Bytes(html.begin(), html.end()))}, Unicode());
    EXPECT_EQ(std::string(utf8.message->bodyHtml.begin(), utf8.message->bodyHtml.end()), html);
}

TEST(AssembleText, ValueTypeDecidesOverTheVariant) {
    // An 8-bit string in a Unicode file is not read as UTF-16, and the reverse.
    ItemRecord item =
        Assemble({Narrow(0x0042, "plain"), Wide(0x0E04, u"Ωmega"), Long(0x3FFD, 1253)}, Unicode());
    EXPECT_EQ(item.message->senderName, "plain");
    EXPECT_EQ(item.message->displayTo, "Ωmega");
    ItemRecord ansi = Assemble({Wide(0x0042, u"Ωmega")}, Ansi());
    EXPECT_EQ(ansi.message->senderName, "Ωmega");

    // Text ends at its first zero, in either form.
    ItemRecord cut = Assemble(
        {Narrow(0x0042, std::string("ab\0cd", 5)), Wide(0x0E04, std::u16string(u"xy\0z", 4))},
        Unicode());
    EXPECT_EQ(cut.message->senderName, "ab");
    EXPECT_EQ(cut.message->displayTo, "xy");

    // A file of neither variant gets no strings.
    ItemRecord unknown = Assemble({Narrow(0x0042, "plain")}, AssembleOptions{});
    ASSERT_TRUE(unknown.message);
    EXPECT_EQ(unknown.message->senderName, "");
}

TEST(AssembleFields, BinaryValuesAreKeptWhole) {
    const Bytes key = {0x10, 0x00, 0x20, 0x00, 0x30};
    ItemRecord item =
        Assemble({Binary(0x0FF9, key), Binary(0x0E06, {1, 2, 3, 4, 5, 6, 7, 8})}, Unicode());
    EXPECT_EQ(item.recordKey, key);
    EXPECT_EQ(item.message->deliveryTime, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(AssembleFields, WhicheverComesLastWins) {
    ItemRecord forward = Assemble(
        {Narrow(0x0064, "SMTP"), Narrow(0x0065, "a@example.org"), Narrow(0x0075, "EX"),
         Narrow(0x0076, "b@example.org"), Narrow(0x8700, "Phone call"), Narrow(0x8712, "Meeting")},
        Ansi());
    EXPECT_EQ(forward.message->senderAddress, "a@example.org");
    EXPECT_EQ(forward.message->receivedByAddress, "b@example.org");
    EXPECT_EQ(forward.journal->entryType, "Meeting");

    ItemRecord backward = Assemble({Narrow(0x0065, "a@example.org"), Narrow(0x0064, "SMTP"),
                                    Narrow(0x8712, "Meeting"), Narrow(0x8700, "Phone call")},
                                   Ansi());
    EXPECT_EQ(backward.message->senderAddress, "SMTP");
    EXPECT_EQ(backward.journal->entryType, "Phone call");
}

TEST(AssembleFields, StoreFolderAndCalendar) {
    Bytes subtree(24, 0);
    subtree[20] = 0x22;
    subtree[21] = 0x80;
    ItemRecord store = Assemble({Binary(0x35E0, subtree), Binary(0x7C07, Bytes(30, 7)),
                                 Long(0x35DF, 0x9F), Binary(0x35E3, {9})},
                                Unicode());
    ASSERT_TRUE(store.store);
    EXPECT_EQ(store.store->ipmSubtreeEntryId, subtree);
    EXPECT_EQ(store.store->rootEntry, Bytes(24, 7));
    EXPECT_EQ(store.store->validFolderMask, 0x9Fu);
    EXPECT_EQ(store.store->wastebasketEntryId, Bytes{9});
    EXPECT_FALSE(store.message);
    // A short root entry is taken as far as it goes.
    EXPECT_EQ(Assemble({Binary(0x7C07, {1, 2})}, Unicode()).store->rootEntry, (Bytes{1, 2}));

    ItemRecord folder = Assemble({Wide(0x3001, u"Inbox"), Long(0x3602, 12), Long(0x3603, 3),
                                  Value(0x360A, 0x000B, {1, 0, 0, 0}), Wide(0x3613, u"IPF.Note")},
                                 Unicode());
    ASSERT_TRUE(folder.folder);
    EXPECT_EQ(folder.folder->contentCount, 12u);
    EXPECT_EQ(folder.folder->unreadCount, 3u);
    EXPECT_TRUE(folder.folder->hasSubfolders);
    EXPECT_EQ(folder.kind, ItemKind::Mail);
    EXPECT_EQ(folder.className, "IPF.Note");
    EXPECT_FALSE(folder.message);

    ItemRecord appointment =
        Assemble({Wide(0x001A, u"IPM.Appointment"), Wide(0x8208, u"Salle 3 – Zürich"),
                  Binary(0x8235, {1}), Binary(0x8236, {2})},
                 Unicode());
    EXPECT_EQ(appointment.kind, ItemKind::Calendar);
    ASSERT_TRUE(appointment.calendar);
    EXPECT_EQ(appointment.calendar->location, "Salle 3 – Zürich");
    EXPECT_EQ(appointment.calendar->clipStart, Bytes{1});
    EXPECT_EQ(appointment.calendar->clipEnd, Bytes{2});
}

TEST(AssembleFields, ClassKindsAndAbsentClass) {
    EXPECT_EQ(Assemble({Narrow(0x001A, "")}, Ansi()).kind, ItemKind::Mail);
    EXPECT_EQ(Assemble({Narrow(0x001A, "IPM.StickyNote")}, Ansi()).kind, ItemKind::Other);
    EXPECT_EQ(Assemble({Narrow(0x3613, "IPF.StickyNote")}, Ansi()).kind, ItemKind::StickyNote);
    ItemRecord none = Assemble({Narrow(0x0037, "no class")}, Ansi());
    EXPECT_EQ(none.kind, ItemKind::Unclassified);
    EXPECT_TRUE(none.className.empty());
    // A class value without data changes nothing.
    EXPECT_EQ(Assemble({NoData(0x001A, kString8, 0)}, Ansi()).kind, ItemKind::Unclassified);
}

TEST(AssembleContact, EmailNeedsAnAtSignAndTheLastQualifyingValueWins) {
    ItemRecord none = Assemble({Narrow(0x3003, "not an address")}, Ansi());
    EXPECT_FALSE(none.contact);

    ItemRecord item = Assemble({Narrow(0x3003, "first@example.org"), Narrow(0x8048, "Display Name"),
                                Narrow(0x8084, "x@y")},
                               Ansi());
    ASSERT_TRUE(item.contact);
    EXPECT_EQ(item.contact->emailAddress, "x@y");

    ItemRecord kept = Assemble({Narrow(0x8084, "@start"), Narrow(0x3003, "no at sign")}, Ansi());
    EXPECT_EQ(kept.contact->emailAddress, "@start");

    // The check runs on the converted text: 0x40 as the second byte of a Shift_JIS
    // character is no at sign.
    ItemRecord sjis = Assemble({Narrow(0x3003, "\x83\x40\x83\x43"), Long(0x3FFD, 932)}, Ansi());
    EXPECT_FALSE(sjis.contact);
}

TEST(AssembleContact, EveryPropertyFillsOnlyItsOwnField) {
    using Field = std::string ContactRecord::*;
    const std::pair<uint32_t, Field> table[] = {
        {0x3A16, &ContactRecord::companyName},
        {0x3A05, &ContactRecord::generation},
        {0x3A15, &ContactRecord::postalAddress},
        {0x3A17, &ContactRecord::title},
        {0x8005, &ContactRecord::fileUnder},
        {0x3A4A, &ContactRecord::customerId},
        {0x3A1C, &ContactRecord::mobilePhone},
        {0x3A43, &ContactRecord::hobbies},
        {0x3A11, &ContactRecord::surname},
        {0x3A06, &ContactRecord::givenName},
        {0x3A44, &ContactRecord::middleName},
        {0x3A09, &ContactRecord::homePhone},
        {0x3A08, &ContactRecord::businessPhone},
        {0x3A24, &ContactRecord::businessFax},
        {0x3A25, &ContactRecord::homeFax},
        {0x3A0C, &ContactRecord::language},
        {0x3A19, &ContactRecord::officeLocation},
        {0x3A21, &ContactRecord::pager},
        {0x3A2D, &ContactRecord::isdn},
        {0x3A2E, &ContactRecord::assistantPhone},
        {0x3A30, &ContactRecord::assistant},
        {0x3A46, &ContactRecord::profession},
        {0x3A48, &ContactRecord::spouseName},
        {0x3A57, &ContactRecord::companyMainPhone},
        {0x3A59, &ContactRecord::homeCity},
        {0x3A4E, &ContactRecord::managerName},
        {0x3A4F, &ContactRecord::nickname},
        {0x3A50, &ContactRecord::personalHomePage},
        {0x3A51, &ContactRecord::businessHomePage},
        {0x3A5A, &ContactRecord::homeCountry},
        {0x3A5B, &ContactRecord::homePostalCode},
        {0x3A5C, &ContactRecord::homeState},
        {0x3A5D, &ContactRecord::homeStreet},
        {0x3A5F, &ContactRecord::otherCity},
        {0x3A60, &ContactRecord::otherCountry},
        {0x3A62, &ContactRecord::otherState},
        {0x3A63, &ContactRecord::otherStreet},
        {0x3A1F, &ContactRecord::otherPhone},
        {0x801C, &ContactRecord::otherAddress},
        {0x3A61, &ContactRecord::otherPostalCode},
        {0x3A02, &ContactRecord::callbackPhone},
        {0x3A27, &ContactRecord::businessCity},
        {0x3A26, &ContactRecord::businessCountry},
        {0x3A28, &ContactRecord::businessState},
        {0x3A29, &ContactRecord::businessStreet},
        {0x3A2A, &ContactRecord::businessPostalCode},
        {0x801B, &ContactRecord::workAddress},
        {0x3A1E, &ContactRecord::carPhone},
        {0x3A18, &ContactRecord::department},
        {0x3A00, &ContactRecord::account},
        {0x3A2F, &ContactRecord::home2Phone},
        {0x8534, &ContactRecord::mileage},
        {0x3A2C, &ContactRecord::telex},
        {0x3A1D, &ContactRecord::radioPhone},
        {0x3A1B, &ContactRecord::business2Phone},
        {0x3A4B, &ContactRecord::ttyPhone},
        {0x3A07, &ContactRecord::governmentId},
        {0x3A10, &ContactRecord::organizationalId},
        {0x80D8, &ContactRecord::freeBusyLocation},
        {0x3A45, &ContactRecord::displayNamePrefix},
    };
    std::vector<PropertyValue> values;
    for (const auto& [id, field] : table) values.push_back(Narrow(id, "v" + std::to_string(id)));
    values.push_back(Value(0x3A4D, 0x0002, {2, 0, 0, 0}));
    values.push_back(Binary(0x3A42, {0x42}));
    values.push_back(Binary(0x3A41, {0x41}));
    ItemRecord item = Assemble(std::move(values), Ansi());
    ASSERT_TRUE(item.contact);
    for (const auto& [id, field] : table) {
        EXPECT_EQ((*item.contact).*field, "v" + std::to_string(id)) << std::hex << id;
    }
    EXPECT_EQ(item.contact->gender, 2);
    EXPECT_EQ(item.contact->birthday, Bytes{0x42});
    EXPECT_EQ(item.contact->weddingAnniversary, Bytes{0x41});
    EXPECT_TRUE(item.contact->addressLine.empty());
    EXPECT_TRUE(item.contact->emailAddress.empty());
}

TEST(AssembleNamed, FirstTwoStringNamedValuesOfTheCall) {
    PropertyGroupList groups =
        Groups({{NoData(2, kBinary, 0), Binary(2, {1}), Binary(0x0037, {}), Binary(2, {2})},
                {Binary(2, {3})}});
    ItemRecord item;
    AssembleItem(groups, item, Ansi());
    ASSERT_TRUE(item.message);
    EXPECT_EQ(item.message->namedValue1, Bytes{1});
    EXPECT_EQ(item.message->namedValue2, Bytes{2});
}

TEST(AssembleAttachments, RowsFillRecordsInOrder) {
    ItemRecord item;
    item.attachments.resize(3);
    item.currentAttachment = 0;
    PropertyGroupList table = Groups({
        {Long(0x67F2, 0x8025), Narrow(0x3704, "A.TXT"), Narrow(0x3707, "a long.txt")},
        {Long(0x67F2, 0x8045), Narrow(0x3707, "b long.txt")},
        {Long(0x67F2, 0x8065)},
        {Narrow(0x3707, "no record left")},
    });
    AssembleItem(table, item, Ansi());
    ASSERT_EQ(item.attachments.size(), 3u);
    EXPECT_EQ(item.attachments[0].shortName, "A.TXT");
    EXPECT_EQ(item.attachments[0].longName, "a long.txt");
    EXPECT_EQ(item.attachments[0].rowId, 0x8025u);
    EXPECT_EQ(item.attachments[1].longName, "b long.txt");
    EXPECT_EQ(item.attachments[1].rowId, 0x8045u);
    EXPECT_EQ(item.attachments[2].rowId, 0x8065u);
    EXPECT_TRUE(item.attachments[2].longName.empty());
    EXPECT_FALSE(item.message);
}

TEST(AssembleAttachments, ARowWithoutAttachmentValuesDoesNotShiftTheRest) {
    ItemRecord item;
    item.attachments.resize(3);
    item.currentAttachment = 0;
    PropertyGroupList table = Groups({
        {Narrow(0x3707, "first")},
        {Narrow(0x0E1D, "nothing for an attachment")},
        {Narrow(0x3707, "third")},
    });
    AssembleItem(table, item, Ansi());
    EXPECT_EQ(item.attachments[0].longName, "first");
    EXPECT_TRUE(item.attachments[1].longName.empty());
    EXPECT_EQ(item.attachments[2].longName, "third");
}

TEST(AssembleAttachments, OwnContextFillsTheCurrentRecord) {
    ItemRecord item;
    item.attachments.resize(2);
    item.currentAttachment = 1;
    PropertyGroupList own =
        Groups({{Binary(0x3701, {'d', 'a', 't', 'a'}), Wide(0x3707, u"отчёт.pdf")}});
    AssembleItem(own, item, Unicode());
    EXPECT_EQ(item.attachments[1].data, (Bytes{'d', 'a', 't', 'a'}));
    EXPECT_EQ(item.attachments[1].dataSize, 4u);
    EXPECT_EQ(item.attachments[1].longName, "отчёт.pdf");
    EXPECT_TRUE(item.attachments[0].data.empty());

    // Data that could not be read leaves the NID of the subnode that holds it.
    item.currentAttachment = 0;
    PropertyGroupList unread = Groups({{NoData(0x3701, kBinary, 0x8122F)}});
    AssembleItem(unread, item, Unicode());
    EXPECT_EQ(item.attachments[0].rowId, 0x8122Fu);

    // The attachment's other properties are not the message's.
    item.displayName = "message";
    item.currentAttachment = 1;
    PropertyGroupList named =
        Groups({{Wide(0x3001, u"photo.jpg"), Binary(0x0FF9, {7}), Wide(0x0037, u"not a subject")}});
    AssembleItem(named, item, Unicode());
    EXPECT_EQ(item.displayName, "message");
    EXPECT_TRUE(item.recordKey.empty());
    EXPECT_FALSE(item.message);

    // Without a current record attachment values go nowhere.
    ItemRecord message;
    PropertyGroupList stray = Groups({{Narrow(0x3707, "stray")}});
    AssembleItem(stray, message, Ansi());
    EXPECT_TRUE(message.attachments.empty());
    EXPECT_TRUE(message.Empty());
}

TEST(AssembleItem, EveryValueIsConsumed) {
    PropertyGroupList groups = Groups(
        {{Narrow(0x0037, "s"), Binary(0x9999, {1}), Binary(0x0E06, {1})}, {Narrow(0x3707, "x")}});
    ItemRecord item;
    AssembleItem(groups, item, Ansi());
    for (const PropertyGroup& group : groups) {
        for (const PropertyValue& value : group.values) EXPECT_FALSE(value.hasData());
    }
}

Bytes StoredRtf(const std::string& text) {
    Bytes value;
    auto put = [&value](uint32_t v) {
        for (int i = 0; i < 4; ++i) value.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(text.size() + 12));
    put(static_cast<uint32_t>(text.size()));
    put(0x414C454D);  // stored uncompressed
    put(0);
    value.insert(value.end(), text.begin(), text.end());
    return value;
}

TEST(AssembleRtf, DecodedTextStaysWithTheMessageAndGoesOnlyWhereAsked) {
    const std::string rtf = "{\\rtf1\\ansi body}";
    ItemRecord kept = Assemble({Binary(0x1009, StoredRtf(rtf))}, Unicode());
    ASSERT_TRUE(kept.message);
    EXPECT_TRUE(kept.message->hasRtfBody);
    EXPECT_EQ(kept.message->rtfBody, rtf);

    ItemRecord garbage = Assemble({Binary(0x1009, {1, 2, 3})}, Unicode());
    ASSERT_TRUE(garbage.message);
    EXPECT_FALSE(garbage.message->hasRtfBody);

    const auto dir = std::filesystem::temp_directory_path() /
                     ("kestrel-items-rtf-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    AssembleOptions options = Unicode();
    options.rtfFile = dir / "temp.rtf";
    Assemble({Binary(0x1009, StoredRtf(rtf))}, options);
    std::ifstream in(options.rtfFile, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), rtf);

    // A relative name would land in the current directory: nothing is written.
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    options.rtfFile = "relative.rtf";
    Assemble({Binary(0x1009, StoredRtf(rtf))}, options);
    EXPECT_FALSE(std::filesystem::exists(dir / "relative.rtf"));
    std::filesystem::current_path(before);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrel
