#include "app/ui_strings.h"

#include <algorithm>

namespace kdx {

namespace {

// String 135 ends in a blank: the result code is appended to it directly.
constexpr UiText kStringTable[] = {
    {kIdsConfirmUpdate,
     u"Before you proceed\n\n- Ensure that all applications are closed.\n\n- Disconnect all connected peripherals except HDMI monitor.\n\n- Do not remove AC adapter and the battery.\n\n- Do not shut down the computer during the update.\n\nStart update now?",
     u"これからHDMI出力チップへファームウェアの書き込みを行います。\n\n以下の内容を確認してください。\n\n- このプログラム以外の全てのプログラムが\n   終了していることを確認してください。\n\n- USB機器などの周辺機器が全て取り外されて\n   いることを確認してください。\n\n- ACアダプタ、及びバッテリーは抜かないでください。\n\n- 書き込み実行中に電源を切らないでください。\n\nアップデートを実行しますか？"},
    {kIdsUpdateCompleted,
     u"Firmware update was completed.",
     u"ファームウェアのアップデートが完了しました。"},
    {kIdsUpdateFailed,
     u"Firmware update failed.\nClose the program and try again.\nError code : ",
     u"ファームウェアのアップデートが失敗しました。\nプログラムを終了して、もう一度実行してください。\nエラーコード： "},
    {kIdsUpToDate,
     u"Firmware is up to date.\nUpdating is not necessary.",
     u"最新のファームウェアになっているため、\nアップデートする必要はありません。"},
    {kIdsNotTarget,
     u"Unable to update because this PC is not target model,\nor an HDMI monitor is not connected.\n\nIf an HDMI monitor is not connected,\nplease connect an HDMI monitor, and try again.",
     u"このPCは対象機種でないか、HDMIモニタが\n接続されていないためアップデートできません。\n\nHDMIモニタが接続されていない場合は、\nHDMIモニタを接続して再度実行してください。"},
    {kIdsUnexpectedError,
     u"An unexpected error has occurred.",
     u"予期せぬエラーが発生しました。"},
    {kIdsShutdownReason,
     u"Updating the HDMI converter firmware. Do not switch the PC off.",
     u"HDMIコンバーターのファームウェアをアップデート中です。PCの電源を切らないでください。"},
    {kIdsAppTitle,
     u"KDX4610 Update v1.58",
     u"KDX4610 Update v1.58"},
};

constexpr UiText kControlTexts[] = {
    {kIdcOk,
     u"OK",
     u"OK"},
    {kIdcCancel,
     u"Cancel",
     u"キャンセル"},
    {kIdcCurrentVersionLabel,
     u"Current firmware version",
     u"現在のファームウェアのバージョン"},
    {kIdcNewVersionLabel,
     u"New firmware version",
     u"新しいファームウェアのバージョン"},
    {kIdcDescription,
     u"This program updates the firmware of HDMI output chip.",
     u"このプログラムはHDMI出力チップのファームウェアをアップデートします。"},
    {kIdcPrompt,
     u"Update the firmware?",
     u"アップデートを実行しますか？"},
    {kIdcUpdatingLabel,
     u"Updating the firmware ...",
     u"ファームウェアをアップデート中です…"},
};

WTextView Find(std::span<const UiText> table, int32_t id, UiLanguage language) {
    const auto it = std::find_if(table.begin(), table.end(), [id](const UiText& t) { return t.id == id; });
    return it == table.end() ? WTextView{} : it->In(language);
}

}  // namespace

std::span<const UiText> StringTableTexts() { return kStringTable; }
std::span<const UiText> DialogControlTexts() { return kControlTexts; }

WTextView UiString(int32_t id, UiLanguage language) { return Find(kStringTable, id, language); }
WTextView DialogControlText(int32_t controlId, UiLanguage language) {
    return Find(kControlTexts, controlId, language);
}

}  // namespace kdx
