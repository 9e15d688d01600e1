#pragma once
// The property ids and types the item layer reads, by their MAPI names. A 0x8000+ id of a
// context is a named property: the named-property map turns it into the LID below.
#include <cstdint>

namespace kestrel {

// Property types.
inline constexpr uint16_t kPtypInteger16 = 0x0002;
inline constexpr uint16_t kPtypInteger32 = 0x0003;
inline constexpr uint16_t kPtypFloating32 = 0x0004;
inline constexpr uint16_t kPtypFloating64 = 0x0005;
inline constexpr uint16_t kPtypCurrency = 0x0006;
inline constexpr uint16_t kPtypFloatingTime = 0x0007;
inline constexpr uint16_t kPtypErrorCode = 0x000A;
inline constexpr uint16_t kPtypBoolean = 0x000B;
inline constexpr uint16_t kPtypObject = 0x000D;
inline constexpr uint16_t kPtypInteger64 = 0x0014;
inline constexpr uint16_t kPtypString8 = 0x001E;
inline constexpr uint16_t kPtypString = 0x001F;  // UTF-16LE
inline constexpr uint16_t kPtypTime = 0x0040;    // FILETIME
inline constexpr uint16_t kPtypGuid = 0x0048;
inline constexpr uint16_t kPtypBinary = 0x0102;
// Set on a single type for its multi-valued form.
inline constexpr uint16_t kPtypMultipleFlag = 0x1000;
inline constexpr uint16_t kPtypMultipleMask = 0xF000;
inline constexpr uint16_t kPtypSingleMask = 0x0FFF;

// Ids from here on are named properties, mapped through the named-property map.
inline constexpr uint32_t kFirstNamedPropertyId = 0x8000;
// The id the parser gives a value whose named property has a string name.
inline constexpr uint32_t kStringNamedPropertyId = 0x0002;

// The named-property map's own streams (node 0x61).
inline constexpr uint32_t kPidTagNameidStreamEntry = 0x0003;
inline constexpr uint32_t kPidTagNameidStreamString = 0x0004;
inline constexpr uint32_t kPidTagNameidStreamGuid = 0x0002;

// Message.
inline constexpr uint32_t kPidTagMessageClass = 0x001A;
inline constexpr uint32_t kPidTagSubject = 0x0037;
inline constexpr uint32_t kPidTagClientSubmitTime = 0x0039;
inline constexpr uint32_t kPidTagSentRepresentingName = 0x0042;
inline constexpr uint32_t kPidTagReplyRecipientNames = 0x0050;
inline constexpr uint32_t kPidTagSentRepresentingAddressType = 0x0064;
inline constexpr uint32_t kPidTagSentRepresentingEmailAddress = 0x0065;
inline constexpr uint32_t kPidTagConversationTopic = 0x0070;
inline constexpr uint32_t kPidTagTransportMessageHeaders = 0x007D;
inline constexpr uint32_t kPidTagSenderAddressType = 0x0C1E;
inline constexpr uint32_t kPidTagSenderEmailAddress = 0x0C1F;
inline constexpr uint32_t kPidTagReceivedByAddressType = 0x0075;
inline constexpr uint32_t kPidTagReceivedByEmailAddress = 0x0076;
inline constexpr uint32_t kPidTagDisplayCc = 0x0E03;
inline constexpr uint32_t kPidTagDisplayTo = 0x0E04;
inline constexpr uint32_t kPidTagMessageDeliveryTime = 0x0E06;
inline constexpr uint32_t kPidTagMessageFlags = 0x0E07;
inline constexpr uint32_t kPidTagNormalizedSubject = 0x0E1D;
inline constexpr uint32_t kPidTagRecordKey = 0x0FF9;
inline constexpr uint32_t kPidTagBody = 0x1000;
inline constexpr uint32_t kPidTagRtfCompressed = 0x1009;
inline constexpr uint32_t kPidTagHtml = 0x1013;
inline constexpr uint32_t kPidTagInternetMessageId = 0x1035;
inline constexpr uint32_t kPidTagInternetReferences = 0x1039;
inline constexpr uint32_t kPidTagInReplyToId = 0x1042;
inline constexpr uint32_t kPidTagCreationTime = 0x3007;
inline constexpr uint32_t kPidTagLastModificationTime = 0x3008;
inline constexpr uint32_t kPidTagMessageHandlingSystemCommonName = 0x3A0F;
inline constexpr uint32_t kPidTagInternetCodepage = 0x3FDE;
inline constexpr uint32_t kPidTagMessageCodepage = 0x3FFD;
inline constexpr uint32_t kPidTagSenderSmtpAddress = 0x5D01;
inline constexpr uint32_t kPidTagSentRepresentingSmtpAddress = 0x5D02;
inline constexpr uint32_t kPidTagUserEntryId = 0x6619;

// Recipients (rows of the recipient table).
inline constexpr uint32_t kPidTagRecipientType = 0x0C15;
inline constexpr uint32_t kPidTagDisplayName = 0x3001;
inline constexpr uint32_t kPidTagAddressType = 0x3002;
inline constexpr uint32_t kPidTagEmailAddress = 0x3003;
inline constexpr uint32_t kPidTagSmtpAddress = 0x39FE;

// Message store.
inline constexpr uint32_t kPidTagValidFolderMask = 0x35DF;
inline constexpr uint32_t kPidTagIpmSubtreeEntryId = 0x35E0;
inline constexpr uint32_t kPidTagIpmWastebasketEntryId = 0x35E3;
inline constexpr uint32_t kPidTagFinderEntryId = 0x35E7;
inline constexpr uint32_t kPidTagRootEntryId = 0x7C07;

// Folder.
inline constexpr uint32_t kPidTagContentCount = 0x3602;
inline constexpr uint32_t kPidTagContentUnreadCount = 0x3603;
inline constexpr uint32_t kPidTagSubfolders = 0x360A;
inline constexpr uint32_t kPidTagContainerClass = 0x3613;

// Attachment.
inline constexpr uint32_t kPidTagAttachDataBinary =
    0x3701;  // also the object of an attached message
inline constexpr uint32_t kPidTagAttachFilename = 0x3704;
inline constexpr uint32_t kPidTagAttachMethod = 0x3705;
inline constexpr uint32_t kPidTagAttachLongFilename = 0x3707;
inline constexpr uint32_t kPidTagAttachMimeTag = 0x370E;
inline constexpr uint32_t kPidTagAttachContentId = 0x3712;
inline constexpr uint32_t kPidTagAttachFlags = 0x3714;
inline constexpr uint32_t kPidTagLtpRowId = 0x67F2;
// PidTagAttachMethod of an attached message.
inline constexpr uint32_t kAttachMethodEmbeddedMessage = 5;

// Contact.
inline constexpr uint32_t kPidTagAccount = 0x3A00;
inline constexpr uint32_t kPidTagCallbackTelephoneNumber = 0x3A02;
inline constexpr uint32_t kPidTagGeneration = 0x3A05;
inline constexpr uint32_t kPidTagGivenName = 0x3A06;
inline constexpr uint32_t kPidTagGovernmentIdNumber = 0x3A07;
inline constexpr uint32_t kPidTagBusinessTelephoneNumber = 0x3A08;
inline constexpr uint32_t kPidTagHomeTelephoneNumber = 0x3A09;
inline constexpr uint32_t kPidTagLanguage = 0x3A0C;
inline constexpr uint32_t kPidTagOrganizationalIdNumber = 0x3A10;
inline constexpr uint32_t kPidTagSurname = 0x3A11;
inline constexpr uint32_t kPidTagPostalAddress = 0x3A15;
inline constexpr uint32_t kPidTagCompanyName = 0x3A16;
inline constexpr uint32_t kPidTagTitle = 0x3A17;
inline constexpr uint32_t kPidTagDepartmentName = 0x3A18;
inline constexpr uint32_t kPidTagOfficeLocation = 0x3A19;
inline constexpr uint32_t kPidTagBusiness2TelephoneNumber = 0x3A1B;
inline constexpr uint32_t kPidTagMobileTelephoneNumber = 0x3A1C;
inline constexpr uint32_t kPidTagRadioTelephoneNumber = 0x3A1D;
inline constexpr uint32_t kPidTagCarTelephoneNumber = 0x3A1E;
inline constexpr uint32_t kPidTagOtherTelephoneNumber = 0x3A1F;
inline constexpr uint32_t kPidTagPagerTelephoneNumber = 0x3A21;
inline constexpr uint32_t kPidTagBusinessFaxNumber = 0x3A24;
inline constexpr uint32_t kPidTagHomeFaxNumber = 0x3A25;
inline constexpr uint32_t kPidTagBusinessAddressCountry = 0x3A26;
inline constexpr uint32_t kPidTagBusinessAddressCity = 0x3A27;
inline constexpr uint32_t kPidTagBusinessAddressStateOrProvince = 0x3A28;
inline constexpr uint32_t kPidTagBusinessAddressStreet = 0x3A29;
inline constexpr uint32_t kPidTagBusinessAddressPostalCode = 0x3A2A;
inline constexpr uint32_t kPidTagTelexNumber = 0x3A2C;
inline constexpr uint32_t kPidTagIsdnNumber = 0x3A2D;
inline constexpr uint32_t kPidTagAssistantTelephoneNumber = 0x3A2E;
inline constexpr uint32_t kPidTagHome2TelephoneNumber = 0x3A2F;
inline constexpr uint32_t kPidTagAssistant = 0x3A30;
inline constexpr uint32_t kPidTagWeddingAnniversary = 0x3A41;
inline constexpr uint32_t kPidTagBirthday = 0x3A42;
inline constexpr uint32_t kPidTagHobbies = 0x3A43;
inline constexpr uint32_t kPidTagMiddleName = 0x3A44;
inline constexpr uint32_t kPidTagDisplayNamePrefix = 0x3A45;
inline constexpr uint32_t kPidTagProfession = 0x3A46;
inline constexpr uint32_t kPidTagSpouseName = 0x3A48;
inline constexpr uint32_t kPidTagCustomerId = 0x3A4A;
inline constexpr uint32_t kPidTagTtyTddPhoneNumber = 0x3A4B;
inline constexpr uint32_t kPidTagGender = 0x3A4D;
inline constexpr uint32_t kPidTagManagerName = 0x3A4E;
inline constexpr uint32_t kPidTagNickname = 0x3A4F;
inline constexpr uint32_t kPidTagPersonalHomePage = 0x3A50;
inline constexpr uint32_t kPidTagBusinessHomePage = 0x3A51;
inline constexpr uint32_t kPidTagCompanyMainTelephoneNumber = 0x3A57;
inline constexpr uint32_t kPidTagHomeAddressCity = 0x3A59;
inline constexpr uint32_t kPidTagHomeAddressCountry = 0x3A5A;
inline constexpr uint32_t kPidTagHomeAddressPostalCode = 0x3A5B;
inline constexpr uint32_t kPidTagHomeAddressStateOrProvince = 0x3A5C;
inline constexpr uint32_t kPidTagHomeAddressStreet = 0x3A5D;
inline constexpr uint32_t kPidTagOtherAddressCity = 0x3A5F;
inline constexpr uint32_t kPidTagOtherAddressCountry = 0x3A60;
inline constexpr uint32_t kPidTagOtherAddressPostalCode = 0x3A61;
inline constexpr uint32_t kPidTagOtherAddressStateOrProvince = 0x3A62;
inline constexpr uint32_t kPidTagOtherAddressStreet = 0x3A63;

// Calendar, task and contact values of full reads.
inline constexpr uint32_t kPidTagPrimaryTelephoneNumber = 0x3A1A;
inline constexpr uint32_t kPidTagPrimaryFaxNumber = 0x3A23;

// Named properties by LID (after mapping).
inline constexpr uint32_t kPidLidFileUnder = 0x8005;
inline constexpr uint32_t kPidLidWorkAddress = 0x801B;
inline constexpr uint32_t kPidLidOtherAddress = 0x801C;
inline constexpr uint32_t kPidLidEmailAddress8048 = 0x8048;  // read as a contact's address
inline constexpr uint32_t kPidLidEmail1OriginalDisplayName = 0x8084;
inline constexpr uint32_t kPidLidFreeBusyLocation = 0x80D8;
inline constexpr uint32_t kPidLidLocation = 0x8208;
inline constexpr uint32_t kPidLidClipStart = 0x8235;
inline constexpr uint32_t kPidLidClipEnd = 0x8236;
inline constexpr uint32_t kPidLidMileage = 0x8534;
inline constexpr uint32_t kPidLidLogType = 0x8700;
inline constexpr uint32_t kPidLidLogTypeDesc = 0x8712;
// PSETID_Address: contacts and distribution lists.
inline constexpr uint32_t kPidLidDistributionListName = 0x8053;
inline constexpr uint32_t kPidLidDistributionListOneOffMembers = 0x8054;
inline constexpr uint32_t kPidLidDistributionListMembers = 0x8055;
inline constexpr uint32_t kPidLidEmail1EmailAddress = 0x8083;
inline constexpr uint32_t kPidLidEmail2EmailAddress = 0x8093;
inline constexpr uint32_t kPidLidEmail3EmailAddress = 0x80A3;
// PSETID_Appointment.
inline constexpr uint32_t kPidLidAppointmentStartWhole = 0x820D;
inline constexpr uint32_t kPidLidAppointmentEndWhole = 0x820E;
inline constexpr uint32_t kPidLidAppointmentSubType = 0x8215;  // all day
inline constexpr uint32_t kPidLidAppointmentRecur = 0x8216;
inline constexpr uint32_t kPidLidRecurring = 0x8223;
inline constexpr uint32_t kPidLidExceptionReplaceTime = 0x8228;
inline constexpr uint32_t kPidLidTimeZoneStruct = 0x8233;
inline constexpr uint32_t kPidLidTimeZoneDescription = 0x8234;
inline constexpr uint32_t kPidLidAppointmentTimeZoneDefinitionStartDisplay = 0x825E;
inline constexpr uint32_t kPidLidAppointmentTimeZoneDefinitionEndDisplay = 0x825F;
inline constexpr uint32_t kPidLidAppointmentTimeZoneDefinitionRecur = 0x8260;
// PSETID_Task.
inline constexpr uint32_t kPidLidTaskStatus = 0x8101;
inline constexpr uint32_t kPidLidPercentComplete = 0x8102;
inline constexpr uint32_t kPidLidTaskStartDate = 0x8104;
inline constexpr uint32_t kPidLidTaskDueDate = 0x8105;
inline constexpr uint32_t kPidLidTaskRecurrence = 0x8116;
inline constexpr uint32_t kPidLidTaskFRecurring = 0x8126;
// PSETID_Meeting LID 0x0003: below 0x8000, so it keeps its file id and is found through
// the map by property set and LID.
inline constexpr uint32_t kLidGlobalObjectId = 0x0003;

}  // namespace kestrel
