// The table of stored settings: group, stored value name, field, type, defaults and value rules.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "encoder/EncodingSettings.h"

enum class SettingKind {
  kNumber,  // a DWORD read as a signed 32-bit number
  kSwitch,  // a DWORD read as 0 or 1 (any non-zero value is 1)
  kText,    // a text value of the record
  kPath,    // a text value stored in the main key (StoredPaths)
  kTime,    // program_rebirth: an unsigned DWORD in the main key
};

// Corrections of a number: some apply when loading, all apply when a value is set by name
// (as the settings dialog corrects what is typed).
enum class SettingRule {
  kNone,
  kEven,       // an odd value is raised by 1
  kFloor100,   // below 100 becomes 100
  kCap500,     // above 500 becomes 500
  kCap100,     // above 100 becomes 100
  kClamp3To7,  // 2 or less becomes 3, 8 or more becomes 7
  kCap8,       // above 8 becomes 8
};

struct SettingField {
  const char* group;  // the subkey ("encoder" for values of the main key)
  const char* name;   // the stored value name
  SettingKind kind;
  int32_t EncodingSettings::*number;   // kNumber, kSwitch
  std::string EncodingSettings::*text; // kText
  std::string StoredPaths::*path;      // kPath
  int32_t recordDefault;               // what a reset gives (numbers)
  bool hasMissingDefault;              // whether a value missing from a present group is filled
  int32_t missingDefault;
  SettingRule loadRule;                // applied after loading
  SettingRule setRule;                 // applied when set by name
  int64_t minSet, maxSet;              // accepted when set by name (before the rule applies)
  size_t maxChars;                     // texts
  const char* meaning;
};

// The groups in stored order, with the description stored as each subkey's default value.
struct SettingGroup {
  const char* name;
  const char* description;
};
std::span<const SettingGroup> SettingGroups();

// Every stored value in stored order: the five groups, then the main key's values.
std::span<const SettingField> SettingFields();

// "group.name" as stored (e.g. "video_conf.bitrate", "etc_conf.language"); nullptr if unknown.
const SettingField* FindSettingField(std::string_view groupDotName);

// Applies a field's load rule to a number (without overflowing).
int32_t ApplySettingRule(SettingRule rule, int32_t value);

// The text a reset gives: the default prefix, the default subtitle font, else empty.
std::string SettingTextDefault(const SettingField& field);

// The field's value as text: numbers in decimal, texts as they are.
std::string SettingValueText(const SettingField& field, const EncodingSettings& s, const StoredPaths& paths);

// What keeps a text from being a value of its field, for callers that word it themselves (the
// settings dialog speaks the window's language): `bad` is the character refused by kForbidden.
enum class TextProblem { kNone, kLineBreak, kTooLong, kParentStep, kForbidden };
struct TextCheck {
  TextProblem problem = TextProblem::kNone;
  char bad = 0;
};
TextCheck CheckSettingText(const SettingField& field, std::string_view text);

// Whether `text` is an http:// or https:// address with a host and no blank, quote or control
// character: what the support_address setting may hold.
bool IsWebAddress(std::string_view text);

// The value a field takes when what is stored for it cannot be used: its default if missing,
// else its record default.
int32_t SettingLoadDefault(const SettingField& field);

// Checks a number or switch read from a settings file with the rules of SetSettingValue: a
// number outside what `settings set` accepts takes SettingLoadDefault, one inside gets the
// field's correction; a switch is 0 or 1. Returns a note for the user when the value changed.
std::string CheckStoredNumber(const SettingField& field, int32_t& value);

// Checks a text read from a settings file as SetSettingValue checks a typed one; a text that
// would be refused becomes `fallback`. Returns a note for the user when it was refused.
std::string CheckStoredText(const SettingField& field, std::string& value, const std::string& fallback);

// The first number or switch of the record outside what `settings set` accepts, as a message;
// empty when every one is in range. A record in this state is never turned into a command.
std::string SettingsRangeProblem(const EncodingSettings& s);

// Reads `text` as a value of `field`, checks it and stores it (with the field's rule applied).
// On refusal returns false with a one-line reason and changes nothing.
bool SetSettingValue(const SettingField& field, std::string_view text, EncodingSettings& s, StoredPaths& paths,
                     std::string& error);
