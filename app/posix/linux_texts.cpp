#include "app/posix/linux_texts.h"

#include <array>

namespace kdx::linux_app {

namespace {

struct Text {
    std::string_view english;
    std::string_view japanese;
    std::string_view In(UiLanguage language) const { return language == UiLanguage::Japanese ? japanese : english; }
};

constexpr std::array<Text, 4> kStageNames{{
    {"Downloading the ISP driver", "ISPドライバを転送中"},
    {"Reading the flash ID", "フラッシュIDを読み出し中"},
    {"Erasing the flash", "フラッシュを消去中"},
    {"Writing the firmware", "ファームウェアを書き込み中"},
}};

constexpr Text kCannotInterrupt{
    "The firmware update cannot be interrupted: the flash would be left half written. It ends by itself in "
    "about ",
    "ファームウェアのアップデートは中断できません（フラッシュが書きかけのまま残るため）。あと約"};
constexpr Text kSeconds{" seconds.", "秒で自動的に終了します。"};

constexpr Text kNoInhibitor{
    "Note: logind could not be asked to keep the computer from sleeping or shutting down (",
    "注意: logindにスリープとシャットダウンの抑止を依頼できませんでした（"};
constexpr Text kNoInhibitorEnd{
    ").\nDo not suspend or shut down the computer or close its lid until the update has ended.",
    "）。\nアップデートが終わるまで、スリープ、シャットダウン、ふたを閉じる操作をしないでください。"};

}  // namespace

std::string_view StageName(ProgressStage stage, UiLanguage language) {
    return kStageNames[static_cast<size_t>(stage)].In(language);
}

std::string CannotInterruptText(int secondsLeft, UiLanguage language) {
    return std::string(kCannotInterrupt.In(language)) + std::to_string(secondsLeft) +
           std::string(kSeconds.In(language));
}

std::string NoInhibitorText(std::string_view reason, UiLanguage language) {
    return std::string(kNoInhibitor.In(language)) + std::string(reason) + std::string(kNoInhibitorEnd.In(language));
}

}  // namespace kdx::linux_app
