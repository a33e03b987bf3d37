// The supervisor's behaviour against a fake platform that records every call in order.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tray/supervisor.h"

namespace {

struct FakePlatform {
    // Answers.
    bool lock_free = true;
    std::string directory = "C:\\Program Files\\Zelvanor";
    bool gateway_present = true;
    int start_error = 0;
    std::uint32_t exit_code = kStillActive;
    int menu_choice = 0;
    // Called from inside a box or the menu, as a nested event loop would.
    void (*during_box)(FakePlatform*) = nullptr;
    void (*during_menu)(FakePlatform*) = nullptr;

    Tray tray{};
    std::vector<std::string> calls;
    std::vector<std::string> boxes;  // "caption|text|icon"
    std::string checked_path;
    std::string started_path;
    int box_depth = 0;
};

FakePlatform* fake(void* context) {
    return static_cast<FakePlatform*>(context);
}

bool claim(void* c) {
    fake(c)->calls.push_back("claim");
    return fake(c)->lock_free;
}

void box(void* c, const char* text, const char* caption, TrayBoxIcon icon) {
    FakePlatform* f = fake(c);
    static const char* const kIcons[] = {"none", "information", "error"};
    f->calls.push_back("box");
    f->boxes.push_back(std::string(caption) + "|" + text + "|" + kIcons[static_cast<int>(icon)]);
    if (f->during_box != nullptr && f->box_depth == 0) {
        ++f->box_depth;
        f->during_box(f);
        --f->box_depth;
    }
}

std::size_t directory(void* c, char* buffer, std::size_t limit) {
    FakePlatform* f = fake(c);
    f->calls.push_back("directory");
    if (f->directory.size() >= limit) return f->directory.size() + 1;
    std::memcpy(buffer, f->directory.c_str(), f->directory.size() + 1);
    return f->directory.size();
}

bool exists(void* c, const char* path) {
    fake(c)->calls.push_back("exists");
    fake(c)->checked_path = path;
    return fake(c)->gateway_present;
}

int start(void* c, const char* path) {
    fake(c)->calls.push_back("start");
    fake(c)->started_path = path;
    return fake(c)->start_error;
}

std::uint32_t poll(void* c) {
    fake(c)->calls.push_back("poll");
    return fake(c)->exit_code;
}

void terminate(void* c, std::uint32_t code) {
    fake(c)->calls.push_back("terminate " + std::to_string(code));
}
void icon_add(void* c) {
    fake(c)->calls.push_back("icon_add");
}
void icon_delete(void* c) {
    fake(c)->calls.push_back("icon_delete");
}
void timer(void* c, std::uint32_t id, std::uint32_t period) {
    fake(c)->calls.push_back("timer " + std::to_string(id) + " " + std::to_string(period));
}

int menu(void* c) {
    FakePlatform* f = fake(c);
    f->calls.push_back("menu");
    if (f->during_menu != nullptr) f->during_menu(f);
    return f->menu_choice;
}

// Like DestroyWindow: the destruction handler runs inside the call.
void close_window(void* c) {
    fake(c)->calls.push_back("close");
    tray_on_destroy(&fake(c)->tray);
}

void quit(void* c, int code) {
    fake(c)->calls.push_back("quit " + std::to_string(code));
}

class Supervisor : public ::testing::Test {
protected:
    void SetUp() override {
        platform_ = {&f_,         "Quorvel.exe", '\\',  260,          claim,     box,
                     directory,   exists,        start, poll,         terminate, icon_add,
                     icon_delete, timer,         menu,  close_window, quit};
        tray_init(&f_.tray, &platform_);
    }

    // Start-up as a front runs it; true when the supervisor reached the watch.
    bool start_up() {
        if (tray_begin(&f_.tray) != kTrayContinue) return false;
        return tray_on_create(&f_.tray);
    }

    // Forget what start-up did, to look at one event's calls alone.
    void clear() {
        f_.calls.clear();
        f_.boxes.clear();
    }

    using Calls = std::vector<std::string>;
    FakePlatform f_;
    TrayPlatform platform_{};
};

TEST_F(Supervisor, StartsTheGatewayFromTheCurrentDirectoryThenShowsTheIconAndWatches) {
    ASSERT_TRUE(start_up());
    EXPECT_EQ(f_.calls,
              (Calls{"claim", "directory", "exists", "start", "icon_add", "timer 0 10000"}));
    EXPECT_EQ(f_.checked_path, "C:\\Program Files\\Zelvanor\\Quorvel.exe");
    EXPECT_EQ(f_.started_path, f_.checked_path);
    EXPECT_TRUE(f_.boxes.empty());
}

TEST_F(Supervisor, PathUsesThePlatformsSeparatorAndGatewayName) {
    platform_.gateway_name = "Quorvel";
    platform_.path_separator = '/';
    f_.directory = "/home/user/zelvanor";
    ASSERT_TRUE(start_up());
    EXPECT_EQ(f_.started_path, "/home/user/zelvanor/Quorvel");
}

// Every start-up failure: its message, and that nothing beyond it was started or shown.
struct StartFailure {
    const char* name;
    void (*arrange)(FakePlatform*);
    const char* box;
    std::vector<std::string> calls;
};

class StartFailures : public Supervisor, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailures, ShowTheirMessageAndQuitWithoutIconOrTimer) {
    GetParam().arrange(&f_);
    EXPECT_FALSE(start_up());
    EXPECT_EQ(f_.boxes, (Calls{GetParam().box}));
    EXPECT_EQ(f_.calls, GetParam().calls);
    // Later events find nothing to do: no watch, no menu, nothing to end.
    clear();
    tray_on_timer(&f_.tray, kWatchTimerId);
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_TRUE(f_.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailures,
    ::testing::Values(StartFailure{"AnotherCopyRuns",
                                   [](FakePlatform* f) { f->lock_free = false; },
                                   "Zelvanor|The application is existed!|information",
                                   {"claim", "box"}},
                      StartFailure{"GatewayMissing",
                                   [](FakePlatform* f) { f->gateway_present = false; },
                                   "Error|Can not find Quorvel.exe\nPlease reinstall!|error",
                                   {"claim", "directory", "exists", "box", "quit 0"}},
                      StartFailure{"DirectoryTooLong",
                                   [](FakePlatform* f) { f->directory = std::string(300, 'd'); },
                                   "Error|Can not find Quorvel.exe\nPlease reinstall!|error",
                                   {"claim", "directory", "box", "quit 0"}},
                      StartFailure{"GatewayCannotStart",
                                   [](FakePlatform* f) { f->start_error = 193; },
                                   "Error|Can not create Quorvel process (193)|error",
                                   {"claim", "directory", "exists", "start", "box", "quit 0"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Supervisor, WindowThatCannotBeMadeEndsWithCodeOne) {
    EXPECT_EQ(tray_init_failed(&f_.tray), 1);
    EXPECT_EQ(f_.boxes, (Calls{"Zelvanor|Application initialization failed.|error"}));
}

TEST_F(Supervisor, WatchLeavesARunningGatewayAlone) {
    ASSERT_TRUE(start_up());
    clear();
    tray_on_timer(&f_.tray, kWatchTimerId);
    tray_on_timer(&f_.tray, 7);  // not the watch: not even a poll
    EXPECT_EQ(f_.calls, (Calls{"poll"}));
}

TEST_F(Supervisor, GatewayEndedByItselfIsReportedOnceAndTheIconGoes) {
    ASSERT_TRUE(start_up());
    clear();
    f_.exit_code = 0;
    // The timer keeps firing while the box is up.
    f_.during_box = [](FakePlatform* f) { tray_on_timer(&f->tray, kWatchTimerId); };
    tray_on_timer(&f_.tray, kWatchTimerId);
    EXPECT_EQ(f_.calls, (Calls{"poll", "box", "icon_delete", "quit 0"}));
    EXPECT_EQ(f_.boxes, (Calls{"Error|Quorvel.exe is terminated!\n|error"}));

    // It is gone already: a later destruction terminates nothing and removes no icon again.
    clear();
    tray_on_timer(&f_.tray, kWatchTimerId);
    tray_on_destroy(&f_.tray);
    EXPECT_EQ(f_.calls, (Calls{"quit 0"}));
}

TEST_F(Supervisor, OnlyARightButtonPressOpensTheMenu) {
    ASSERT_TRUE(start_up());
    clear();
    for (TrayMouse event :
         {TrayMouse::Move, TrayMouse::LeftDown, TrayMouse::LeftUp, TrayMouse::LeftDouble,
          TrayMouse::RightUp, TrayMouse::RightDouble, TrayMouse::MiddleDown, TrayMouse::MiddleUp,
          TrayMouse::MiddleDouble, static_cast<TrayMouse>(0x0400)}) {
        tray_on_icon(&f_.tray, event);
    }
    EXPECT_TRUE(f_.calls.empty());
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_EQ(f_.calls, (Calls{"menu"}));
}

TEST_F(Supervisor, DismissedMenuOrUnknownCommandDoesNothing) {
    ASSERT_TRUE(start_up());
    for (int choice : {0, 1, 40004, 57666}) {
        clear();
        f_.menu_choice = choice;
        tray_on_icon(&f_.tray, TrayMouse::RightDown);
        EXPECT_EQ(f_.calls, (Calls{"menu"})) << choice;
    }
}

TEST_F(Supervisor, VersionInfoShowsTheVersionAndKeepsWatching) {
    ASSERT_TRUE(start_up());
    clear();
    f_.menu_choice = kCmdVersionInfo;
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_EQ(f_.calls, (Calls{"menu", "box"}));
    EXPECT_EQ(f_.boxes, (Calls{"Version Info|Zelvanor Version 1.0 Build 11010610|none"}));
    clear();
    tray_on_timer(&f_.tray, kWatchTimerId);
    EXPECT_EQ(f_.calls, (Calls{"poll"}));
}

TEST_F(Supervisor, PressesInsideTheMenuOrItsBoxOpenNothingMore) {
    ASSERT_TRUE(start_up());
    clear();
    f_.menu_choice = kCmdVersionInfo;
    f_.during_menu = [](FakePlatform* f) { tray_on_icon(&f->tray, TrayMouse::RightDown); };
    f_.during_box = [](FakePlatform* f) { tray_on_icon(&f->tray, TrayMouse::RightDown); };
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_EQ(f_.calls, (Calls{"menu", "box"}));
    // Once both are closed the icon answers again.
    f_.during_menu = nullptr;
    f_.during_box = nullptr;
    f_.menu_choice = 0;
    clear();
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_EQ(f_.calls, (Calls{"menu"}));
}

TEST_F(Supervisor, ExitTerminatesTheGatewayWithCodeTwoRemovesTheIconAndQuits) {
    ASSERT_TRUE(start_up());
    clear();
    f_.menu_choice = kCmdExit;
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    EXPECT_EQ(f_.calls, (Calls{"menu", "close", "terminate 2", "icon_delete", "quit 0"}));
    EXPECT_TRUE(f_.boxes.empty());

    // After the end nothing is watched, opened or terminated again.
    clear();
    tray_on_timer(&f_.tray, kWatchTimerId);
    tray_on_icon(&f_.tray, TrayMouse::RightDown);
    tray_on_destroy(&f_.tray);
    EXPECT_EQ(f_.calls, (Calls{"quit 0"}));
}

TEST_F(Supervisor, SecondCreationStartsNothing) {
    ASSERT_TRUE(start_up());
    clear();
    EXPECT_FALSE(tray_on_create(&f_.tray));
    EXPECT_TRUE(f_.calls.empty());
}

}  // namespace
