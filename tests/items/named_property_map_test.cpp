// The named-property map from node 0x61, and property ids mapped through it.
#include "items/named_property_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "item_fixtures.h"
#include "items/node_item.h"
#include "storage/btree_loader.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint32_t kMapNid = 0x61;
constexpr uint32_t kMessage = MakeNid(kNidTypeNormalMessage, 0x300);

// Entry-stream records: dwPropertyID, guidWord, wPropIdx.
Bytes Entries(std::initializer_list<std::array<uint32_t, 3>> entries) {
    Bytes b;
    for (const auto& [id, guidWord, index] : entries) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id >> (8 * i)));
        b.push_back(static_cast<uint8_t>(guidWord));
        b.push_back(static_cast<uint8_t>(guidWord >> 8));
        b.push_back(static_cast<uint8_t>(index));
        b.push_back(static_cast<uint8_t>(index >> 8));
    }
    return b;
}

// A string-stream record: 4-byte length, then the UTF-16 bytes.
Bytes StringRecord(const std::string& utf8, uint32_t claimedLength = 0) {
    const Bytes text = Utf16(utf8);
    const uint32_t length = claimedLength ? claimedLength : static_cast<uint32_t>(text.size());
    Bytes b;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(length >> (8 * i)));
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

class NamedMapFile : public LayoutTest {
  protected:
    void Add(uint32_t nid, const LtpNode& node) { file.Add(nid, node); }
    void Open() { file.Open(); }
    const NamedPropertyMap& Map() { return *items.namedProps; }

    BuiltFile file{GetParam()};
    LtpBuilder& ltp = file.ltp;
    PstContext& context = file.context;
    ItemContext& items = file.items;
};
KESTREL_BOTH_LAYOUTS(NamedMapFile);

TEST_P(NamedMapFile, NumericAndStringNamesInIdOrder) {
    Add(kMapNid, ltp.NameToIdMap({{kPsetidAddress, 0x8083, ""},
                                  {kPsMapi, 0x001A, ""},
                                  {kPsPublicStrings, 0, "Größe"},
                                  {kPsInternetHeaders, 0, "x-mailer-😀"},
                                  {kPsetidCommon, 0x8580, ""}}));
    Open();
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    ASSERT_TRUE(items.namedProps);
    ASSERT_EQ(Map().size(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(Map().entries()[i].fileId, 0x8000u + i);

    const NamedPropertyEntry* address = Map().Find(0x8000);
    ASSERT_TRUE(address);
    EXPECT_EQ(address->kind, 1u);
    EXPECT_EQ(address->numericName, 0x8083u);
    EXPECT_EQ(address->guidWord & 1, 0);
    EXPECT_EQ(Map().Find(0x8001)->guidWord, 1 << 1);  // PS_MAPI is GUID index 1
    const NamedPropertyEntry* size = Map().Find(0x8002);
    EXPECT_EQ(size->kind, 2u);
    EXPECT_EQ(size->stringName, "Größe");
    EXPECT_EQ(size->guidWord, (2 << 1) | 1);
    EXPECT_EQ(Map().Find(0x8003)->stringName, "x-mailer-😀");
    EXPECT_FALSE(Map().Find(0x8005));
}

TEST_P(NamedMapFile, ContextsUseTheLoadedMap) {
    Add(kMapNid, ltp.NameToIdMap({{kPsetidAddress, 0x8083, ""},
                                  {kPsetidAppointment, 0x001A, ""},  // meeting LID below 0x8000
                                  {kPsPublicStrings, 0, "Keywords"}}));
    Add(kMessage,
        ltp.PropertyContext({Prop::Unicode(0x001A, "IPM.Note"),
                             Prop::Unicode(0x8000, "a@example.org"), Prop::Int32(0x8001, 7),
                             Prop::Unicode(0x8002, "red"), Prop::Int32(0x8003, 3)}));
    Open();
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    const auto groups = file.Parse(kMessage);
    ASSERT_EQ(groups.size(), 1u);
    std::vector<uint32_t> ids;
    for (const auto& v : groups[0].values) ids.push_back(v.propertyId);
    // The message class keeps its own tag: the small LID does not take it over, and an
    // id the map lacks stays as it is.
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x001A, 0x8083, 0x8001, 2, 0x8003}));
    EXPECT_EQ(groups[0].values[3].name, "Keywords");
    EXPECT_EQ(groups[0].values[0].data, Utf16("IPM.Note"));
    EXPECT_EQ(AsUInt(groups[0].values[2]), 7u);
}

TEST_P(NamedMapFile, MeetingIdFoundByPropertySetAndLid) {
    // LID 3 of another set comes first: only the meeting's is the global object id.
    Add(kMapNid, ltp.NameToIdMap({{kPsetidAppointment, 0x0003, ""},
                                  {kPsetidMeeting, 0x0003, ""},
                                  {kPsetidAppointment, 0x820D, ""}}));
    Add(kMessage,
        ltp.PropertyContext({Prop::Unicode(0x001A, "IPM.Appointment"), Prop::Binary(0x8000, {9, 9}),
                             Prop::Binary(0x8001, {4, 0, 0, 0, 0x82}),
                             Prop::Time(0x8002, 0x01D1EC0F1A2B3C00ull)}));
    Open();
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    EXPECT_EQ(Map().FileIdOf(kPsetidMeeting, 3), 0x8001u);
    EXPECT_EQ(Map().FileIdOf(kPsetidMeeting, 4), 0u);
    const NodeRecord* node = FindNode(context, kMessage);
    ASSERT_NE(node, nullptr);
    const auto full = LoadNodeItem(items, node);
    ASSERT_TRUE(full && full->appointment);
    EXPECT_EQ(full->appointment->globalObjectId, (Bytes{4, 0, 0, 0, 0x82}));
    EXPECT_EQ(full->appointment->startTime.size(), 8u);
    AssembleOptions listing;
    listing.measureBody = true;
    EXPECT_FALSE(LoadNodeItem(items, node, listing)->appointment);  // the lists read none
}

TEST_P(NamedMapFile, DamagedStreams) {
    // Entry 0: a name whose length runs past the stream; 1: a name offset past it;
    // 2: a good name; 3: an id seen before; 4: guidWord 0 ends the stream; 5: never read.
    Bytes strings = StringRecord("ok");
    const uint32_t badLength = static_cast<uint32_t>(strings.size());
    const Bytes tail = StringRecord("cut", 400);
    strings.insert(strings.end(), tail.begin(), tail.end());
    Add(kMapNid, ltp.PropertyContext({Prop::Binary(0x0003, Entries({{badLength, 5, 0},
                                                                    {0x7000, 5, 1},
                                                                    {0, 5, 2},
                                                                    {0x8111, 4, 2},
                                                                    {0x8222, 0, 3},
                                                                    {0x8333, 4, 4}})),
                                      Prop::Binary(0x0004, strings)}));
    Open();
    ASSERT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::Built);
    ASSERT_EQ(Map().size(), 3u);
    EXPECT_EQ(Map().Find(0x8000)->kind, 2u);
    EXPECT_EQ(Map().Find(0x8000)->stringName, "");
    EXPECT_EQ(Map().Find(0x8001)->stringName, "");
    EXPECT_EQ(Map().Find(0x8002)->stringName, "ok");
    EXPECT_FALSE(Map().Find(0x8003));
    EXPECT_FALSE(Map().Find(0x8004));
}

TEST_P(NamedMapFile, NoMapNodeOrNoEntryStream) {
    Open();
    EXPECT_EQ(LoadNamedPropertyMap(items), NamedMapLoad::NotBuilt);
    EXPECT_FALSE(items.namedProps);

    BuiltFile noEntries(GetParam());
    noEntries.Add(kMapNid, noEntries.ltp.PropertyContext({Prop::Int32(0x0001, 251)}));
    noEntries.Open();
    EXPECT_EQ(LoadNamedPropertyMap(noEntries.items), NamedMapLoad::NotBuilt);
}

TEST(NamedPropertyMap, InsertKeepsIdsAscendingAndEqualIdsInOrder) {
    NamedPropertyMap map;
    auto entry = [](uint32_t id, uint32_t lid) {
        return NamedPropertyEntry{
            .guidWord = 2, .kind = 1, .fileId = id, .numericName = lid, .stringName = {}};
    };
    map.Insert(entry(0x8005, 1));
    map.Insert(entry(0x8001, 2));
    map.Insert(entry(0x8005, 3));
    map.InsertAll({entry(0x8003, 4), entry(0x8005, 5), entry(0x8000, 6), entry(0x8003, 7)});
    std::vector<uint32_t> lids;
    for (const auto& e : map.entries()) lids.push_back(e.numericName);
    EXPECT_EQ(lids, (std::vector<uint32_t>{6, 2, 4, 7, 1, 3, 5}));
    EXPECT_EQ(map.Find(0x8005)->numericName, 1u);
    EXPECT_EQ(map.Find(0x8003)->numericName, 4u);
    EXPECT_FALSE(map.Find(0x8002));
    EXPECT_FALSE(map.Find(0x9000));
}

}  // namespace
}  // namespace kestrel
