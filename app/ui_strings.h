// The user-visible texts of the update dialog in English (1033) and Japanese (1041): the
// string table and the texts of the dialog's controls. The Windows program carries the
// same texts in resources/kdx4610_update.rc (a unit test keeps the two equal); the
// terminal dialog takes them from here.
#pragma once

#include <cstdint>
#include <span>

#include "app/console_dialog.h"
#include "platform/wtext.h"

namespace kdx {

// String table ids.
inline constexpr int32_t kIdsConfirmUpdate = 133;
inline constexpr int32_t kIdsUpdateCompleted = 134;
inline constexpr int32_t kIdsUpdateFailed = 135;  // the result code follows in decimal
inline constexpr int32_t kIdsUpToDate = 136;
inline constexpr int32_t kIdsNotTarget = 137;
inline constexpr int32_t kIdsUnexpectedError = 138;
// Why Windows is asked to hold a shutdown while the flash is written.
inline constexpr int32_t kIdsShutdownReason = 139;
inline constexpr int32_t kIdsAppTitle = 57344;

// Control ids of dialog 102.
inline constexpr int32_t kIdcOk = 1;
inline constexpr int32_t kIdcCancel = 2;
inline constexpr int32_t kIdcCurrentVersionLabel = 1002;
inline constexpr int32_t kIdcNewVersionLabel = 1003;
inline constexpr int32_t kIdcDescription = 1004;
inline constexpr int32_t kIdcPrompt = 1005;
inline constexpr int32_t kIdcUpdatingLabel = -1;

struct UiText {
    int32_t id;
    WTextView english;
    WTextView japanese;

    WTextView In(UiLanguage language) const { return language == UiLanguage::Japanese ? japanese : english; }
};

// The string table, in id order.
std::span<const UiText> StringTableTexts();
// The texts of the dialog's controls that have one.
std::span<const UiText> DialogControlTexts();

// The text of a string table entry or of a control; empty for an unknown id.
WTextView UiString(int32_t id, UiLanguage language);
WTextView DialogControlText(int32_t controlId, UiLanguage language);

}  // namespace kdx
