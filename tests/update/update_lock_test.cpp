#include "update/update_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace zelk {
namespace {

TEST(UpdateLock, OneNamePerFolderWhateverItsSpelling) {
    const std::wstring name = UpdateLockName(L"C:\\Users\\Ana\\AppData\\Local\\Zelk");
    EXPECT_EQ(name.rfind(L"Local\\Zelk.Update.", 0), 0u);
    EXPECT_EQ(name.size(), 18u + 32u);
    for (const wchar_t* same :
         {L"c:\\users\\ana\\appdata\\local\\zelk", L"C:/Users/Ana/AppData/Local/Zelk",
          L"C:\\Users\\Ana\\AppData\\Local\\Zelk\\",
          L"C:\\Users\\Ana\\AppData\\Local\\Other\\..\\Zelk"}) {
        EXPECT_EQ(UpdateLockName(same), name) << same;
    }
    for (const wchar_t* other : {L"C:\\Users\\Ana\\AppData\\Local\\Zelk2",
                                 L"C:\\Users\\Bob\\AppData\\Local\\Zelk", L"D:\\Zelk"}) {
        EXPECT_NE(UpdateLockName(other), name) << other;
    }
}

// Holds the lock on a thread of its own until told to let go, as another update would.
struct Holder {
    explicit Holder(const std::wstring& name, bool release = true)
        : thread([this, name, release] {
              UniqueHandle mutex(CreateMutexW(nullptr, TRUE, name.c_str()));
              held = true;
              while (!letGo) {
                  Sleep(5);
              }
              if (release) {
                  ReleaseMutex(mutex.get());
              }  // else the thread ends owning it: the mutex is abandoned
          }) {
        while (!held) {
            Sleep(5);
        }
    }
    ~Holder() {
        letGo = true;
        thread.join();
    }
    std::atomic<bool> held{false}, letGo{false};
    std::thread thread;
};

TEST(UpdateLock, TakenAtOnceWhenFreeWaitedForWhenHeld) {
    const std::wstring name = L"Local\\ZelkLockTest-" + std::to_wstring(GetCurrentProcessId());
    int waits = 0;
    const auto waiting = [&waits] { ++waits; };
    EXPECT_TRUE(TakeUpdateLock(name, 0, waiting));
    EXPECT_EQ(waits, 0);
    {
        Holder other(name);
        const ULONGLONG began = GetTickCount64();
        EXPECT_FALSE(TakeUpdateLock(name, 300, waiting));
        EXPECT_GE(GetTickCount64() - began, 250u);
        EXPECT_EQ(waits, 1);
        // Let go while a second update waits: it goes on at once.
        std::thread letGo([&other] {
            Sleep(200);
            other.letGo = true;
        });
        EXPECT_TRUE(TakeUpdateLock(name, 30000, waiting));
        letGo.join();
        EXPECT_EQ(waits, 2);
    }
    {
        // A holder that ended without letting go (killed, say) holds nothing.
        Holder ended(name, false);
        ended.letGo = true;
        ended.thread.join();
        ended.thread = std::thread([] {});
        EXPECT_TRUE(TakeUpdateLock(name, 1000, waiting));
    }
}

}  // namespace
}  // namespace zelk
