#include "app/command_line.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace zelk {
namespace {

using Args = std::vector<std::wstring>;

struct ScanOutcome {
    PreScanResult result;
    std::vector<long> waited;
};

ScanOutcome Scan(const Args& args) {
    ScanOutcome outcome;
    outcome.result = PreScanArguments(args, [&](long pid) { outcome.waited.push_back(pid); });
    return outcome;
}

TEST(PreScan, AfterGameWaitsThenTakesTheLink) {
    const ScanOutcome outcome = Scan({L"Zelk.exe", L"--after-game", L"1234", L"zelk://open/x"});
    EXPECT_EQ(outcome.waited, std::vector<long>{1234});
    EXPECT_EQ(outcome.result.launchUrl, L"zelk://open/x");
}

TEST(PreScan, AfterGameConsumesItsIdEvenWhenItLooksLikeALink) {
    const ScanOutcome outcome = Scan({L"Zelk.exe", L"--after-game", L"zelk://a"});
    EXPECT_EQ(outcome.waited, std::vector<long>{0});  // wcstol of a non-number
    EXPECT_EQ(outcome.result.launchUrl, L"");
}

TEST(PreScan, AfterGameAsLastArgumentIsIgnored) {
    const ScanOutcome outcome = Scan({L"Zelk.exe", L"zelk://a", L"--after-game"});
    EXPECT_TRUE(outcome.waited.empty());
    EXPECT_EQ(outcome.result.launchUrl, L"zelk://a");
}

TEST(PreScan, EveryAfterGameIsHonouredInOrder) {
    const ScanOutcome outcome =
        Scan({L"Zelk.exe", L"--after-game", L"7", L"--after-game", L"12abc"});
    EXPECT_EQ(outcome.waited, (std::vector<long>{7, 12}));
}

TEST(PreScan, ProgramPathIsNeverALink) {
    EXPECT_EQ(Scan({L"zelk://argument-zero"}).result.launchUrl, L"");
}

TEST(PreScan, LastAcceptableLinkWins) {
    const ScanOutcome outcome =
        Scan({L"Zelk.exe", L"zelk://first", L"zelk://second", L"zelk://bad\"quote"});
    EXPECT_EQ(outcome.result.launchUrl, L"zelk://second");
}

TEST(PreScan, RecognisesTheRestartAfterARename) {
    EXPECT_TRUE(Scan({L"Zelk.exe", L"--apres-renommage"}).result.afterRename);
    EXPECT_FALSE(Scan({L"Zelk.exe", L"--updated"}).result.afterRename);
}

TEST(Links, SchemeIsCaseInsensitiveAsciiOnly) {
    EXPECT_TRUE(IsAcceptedLink(L"ZELK://X"));
    EXPECT_TRUE(IsAcceptedLink(L"Zelk://"));
    EXPECT_FALSE(IsAcceptedLink(L"zelk:/x"));
    EXPECT_FALSE(IsAcceptedLink(L"zelk:"));
    EXPECT_FALSE(IsAcceptedLink(L"xzelk://x"));
    EXPECT_FALSE(IsAcceptedLink(L"\u017Eelk://x"));  // not a folding of "z"
}

TEST(Links, LengthLimitAndQuotes) {
    const std::wstring prefix = L"zelk://";
    EXPECT_TRUE(IsAcceptedLink(prefix + std::wstring(299 - prefix.size(), L'a')));
    EXPECT_FALSE(IsAcceptedLink(prefix + std::wstring(300 - prefix.size(), L'a')));
    EXPECT_FALSE(IsAcceptedLink(L"zelk://a\"b"));
}

struct ModeCase {
    Args args;
    RunMode mode;
};

TEST(RunModes, KeywordsNeedTheirArgumentsAndPositionOne) {
    const ModeCase cases[] = {
        {{L"Zelk.exe"}, RunMode::Normal},
        {{L"Zelk.exe", L"--renommer-dossier"}, RunMode::Normal},
        {{L"Zelk.exe", L"--renommer-dossier", L"42"}, RunMode::FolderRename},
        {{L"Zelk.exe", L"--essai-migration"}, RunMode::Normal},
        {{L"Zelk.exe", L"--essai-migration", L"C:\\x"}, RunMode::MigrationTrial},
        {{L"Zelk.exe", L"--banc", L"C:\\root"}, RunMode::Normal},
        {{L"Zelk.exe", L"--banc", L"C:\\root", L"http://127.0.0.1/u"}, RunMode::Bench},
        {{L"Zelk.exe", L"--render-test", L"a.png", L"0.5", L"h"}, RunMode::Normal},
        {{L"Zelk.exe", L"--render-test", L"a.png", L"0.5", L"h", L"d"}, RunMode::RenderTest},
        {{L"Zelk.exe", L"zelk://x", L"--banc", L"r", L"u"}, RunMode::Normal},
        {{L"Zelk.exe", L"--BANC", L"r", L"u"}, RunMode::Normal},
        {{L"Zelk.exe", L"--updated", L"zelk://x"}, RunMode::Normal},
        {{L"Zelk.exe", L"--desinstaller"}, RunMode::Uninstall},
        {{L"Zelk.exe", L"--desinstaller", L"--silencieux", L"--tout"}, RunMode::Uninstall},
        {{L"Zelk.exe", L"--silencieux", L"--desinstaller"}, RunMode::Normal},
        {{L"Zelk.exe", L"--Desinstaller"}, RunMode::Normal},
        {{L"Zelk.exe", L"--fin-desinstallation"}, RunMode::Normal},
        {{L"Zelk.exe", L"--fin-desinstallation", L"42"}, RunMode::UninstallFinish},
    };
    for (const ModeCase& c : cases) {
        EXPECT_EQ(ChooseRunMode(c.args), c.mode) << "arguments: " << c.args.size();
    }
}

TEST(RunModes, RenameAndMigrationComeBeforeTheOthers) {
    // Extra arguments never change the mode named in position one.
    EXPECT_EQ(ChooseRunMode({L"Zelk.exe", L"--renommer-dossier", L"1", L"x", L"y", L"z"}),
              RunMode::FolderRename);
    EXPECT_EQ(ChooseRunMode({L"Zelk.exe", L"--essai-migration", L"d", L"u", L"v", L"w"}),
              RunMode::MigrationTrial);
}

TEST(UninstallSwitches, AnywhereAfterTheKeywordAndExact) {
    const auto read = [](const Args& args) {
        const UninstallOptions options = ReadUninstallOptions(args);
        return std::make_pair(options.silent, options.everything);
    };
    EXPECT_EQ(read({L"Zelk.exe", L"--desinstaller"}), std::make_pair(false, false));
    EXPECT_EQ(read({L"Zelk.exe", L"--desinstaller", L"--silencieux"}), std::make_pair(true, false));
    EXPECT_EQ(read({L"Zelk.exe", L"--desinstaller", L"--tout", L"zelk://x", L"--silencieux"}),
              std::make_pair(true, true));
    EXPECT_EQ(read({L"Zelk.exe", L"--desinstaller", L"--SILENCIEUX", L"-tout", L"tout"}),
              std::make_pair(false, false));
    // The keyword's own position is not a switch.
    EXPECT_EQ(read({L"Zelk.exe", L"--silencieux"}), std::make_pair(false, false));
}

TEST(RenderTestScale, TheNormalModesScaleForTheGivenDpi) {
    const Args six = {L"Zelk.exe", L"--render-test", L"a.png", L"0.5", L"h", L"d"};
    EXPECT_EQ(RenderTestScale(six), 1.0);
    Args seven = six;
    for (const auto& [dpi, scale] : {std::pair{L"96", 1.0},
                                     {L"120", 1.25},
                                     {L"144", 1.5},
                                     {L"72", 1.0},
                                     {L"dpi", 1.0},
                                     {L"192", 2.0}}) {
        seven.resize(6);
        seven.push_back(dpi);
        EXPECT_EQ(RenderTestScale(seven), scale) << dpi;
    }
    EXPECT_EQ(ScaleForDpi(std::numeric_limits<double>::quiet_NaN()), 1.0);
}

TEST(ProcessIds, ReadAsBase10) {
    EXPECT_EQ(ParseProcessId(L"0123"), 123);
    EXPECT_EQ(ParseProcessId(L"0x10"), 0);
    EXPECT_EQ(ParseProcessId(L" 42 "), 42);
    EXPECT_EQ(ParseProcessId(L"abc"), 0);
}

}  // namespace
}  // namespace zelk
