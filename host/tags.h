#pragma once

#include <cstdint>

// Tag codes of the host interface. The top four bits give the value's kind:
// 1 integer, 2 double, 3 text, 6 pointer, 8 identifier.

// Registration record.
inline constexpr std::uint64_t kRegFactory = 0x60000000;         ///< pointer: the class's factory
inline constexpr std::uint64_t kRegInitHook = 0x60000001;        ///< pointer: class initialisation hook
inline constexpr std::uint64_t kRegCleanupHook = 0x60000002;     ///< pointer: class clean-up hook
inline constexpr std::uint64_t kRegScriptInfo = 0x60000005;      ///< pointer: the class's script record
inline constexpr std::uint64_t kRegParentClass = 0x60000010;     ///< pointer: the parent class's FuID
inline constexpr std::uint64_t kRegClassAttributes = 0x10000000; ///< integer: class attribute
inline constexpr std::uint64_t kRegName = 0x30000002;            ///< text: the class's name
inline constexpr std::uint64_t kRegMaker = 0x30000003;           ///< text: the maker's name
inline constexpr std::uint64_t kRegShortText = 0x30000004;       ///< text: short text attribute
inline constexpr std::uint64_t kRegToolName = 0x30000005;        ///< text: the name again, as tools show it
inline constexpr std::uint64_t kRegBuildText = 0x30000008;       ///< text: "Built: " and the build date
inline constexpr std::uint64_t kRegIcon = 0x3000000f;            ///< text: icon resource path

// Inputs and outputs.
inline constexpr std::uint64_t kLinkDataType = 0x88020000;     ///< identifier: CLSID_DataType_*
inline constexpr std::uint64_t kLinkMain = 0x10020001;         ///< integer: main link number
inline constexpr std::uint64_t kInpRequired = 0x10030002;      ///< integer: 0 = not required
inline constexpr std::uint64_t kInpControl = 0x80030000;       ///< identifier: CLSID_InputControl_*
inline constexpr std::uint64_t kInpMinValue = 0x20030000;      ///< double: lower value limit
inline constexpr std::uint64_t kInpMaxValue = 0x20030001;      ///< double: upper value limit
inline constexpr std::uint64_t kInpDefault = 0x20030004;       ///< double: default value
inline constexpr std::uint64_t kInpControlGroup = 0x10030006;  ///< integer: compound control number
inline constexpr std::uint64_t kInpGroupPosition = 0x10030007; ///< integer: position within the group
inline constexpr std::uint64_t kInpDoNotify = 0x1003000a;      ///< integer: 1 = report changes
inline constexpr std::uint64_t kInpColorChannel = 0x10030011;  ///< integer: colour channel attribute
inline constexpr std::uint64_t kInpColorFlags = 0x10030014;    ///< integer: colour channel attribute
inline constexpr std::uint64_t kInpGroupCaption = 0x30040000;  ///< text: caption of a colour group
inline constexpr std::uint64_t kInpEntry = 0x38040000;         ///< text: one combo/multibutton entry
inline constexpr std::uint64_t kInpControlStyle = 0x20040007;  ///< double: presentation attribute
inline constexpr std::uint64_t kInpVisible = 0x10040008;       ///< integer: 1 shows, 0 hides
inline constexpr std::uint64_t kInpComboStyle = 0x10050000;    ///< integer: combo presentation
inline constexpr std::uint64_t kInpButtonStyle = 0x1005000a;   ///< integer: multibutton presentation

// Images.
inline constexpr std::uint64_t kImgLike = 0x60020000;  ///< pointer: an Image whose size and format to copy
