#include "component/RimoData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "support/RecordingStatus.h"
#include "support/TraceRecorder.h"
#include "rimo/RimoStatusCodes.h"

namespace rimo::component {
namespace {

using testing::RecordingStatus;
using testing::TraceRecorder;

// One busy period: raised (again, by each clean record), then let go once, at the end.
bool OneBusyPeriod(const std::vector<bool>& calls) {
  if (calls.size() < 2 || !calls.front() || calls.back()) return false;
  return std::find(calls.begin(), calls.end() - 1, false) == calls.end() - 1;
}

size_t Count(const TraceRecorder& recorder, const std::string& needle) {
  return recorder.Matching(needle).size();
}

TEST(RimoDataTest, FlagOtherThanOneMeansSynchronous) {
  RecordingStatus status;
  for (uint8_t flag : {0, 2, 255}) {
    RimoData component(&status, flag);
    EXPECT_FALSE(component.IsAsynchronous()) << int(flag);
  }
  RimoData component(&status, 1);
  EXPECT_TRUE(component.IsAsynchronous());
}

TEST(RimoDataTest, BurstIsDrainedInOrderWithOneBusyPeriod) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  {
    RimoData component(&status, 1);
    status.Lock();  // the worker cannot take tasks until all are queued
    for (int i = 0; i < 10; ++i) {
      component.LoadRimoResponseFromFile((L"/tmp/r" + std::to_wstring(i) + L".xml").c_str());
    }
    status.Unlock();
    ASSERT_TRUE(status.WaitForDrains(1));
    EXPECT_EQ(status.BusyCalls(), (std::vector<bool>{true, false}));
  }
  EXPECT_EQ(Count(recorder, "Task mit dem TaskTyp [1] wurde aus der Queue gelesen."), 10u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromFile"), 10u);
  EXPECT_EQ(Count(recorder, "Ein neuer Task \"GetFromFile\" wird in die Queue gestellt."), 10u);
  EXPECT_FALSE(status.GetBusy());
}

TEST(RimoDataTest, StopDoesNotEndTheDrainBeforeLaterTasks) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  auto component = std::make_unique<RimoData>(&status, 1);
  status.Lock();
  component->PushTask(TaskType::GetFromFile, L"/tmp/a.xml");
  component->PushTask(TaskType::Stop, nullptr);
  component->PushTask(TaskType::GetFromRz, L"U1");
  status.Unlock();
  ASSERT_TRUE(status.WaitForDrains(1));
  component.reset();  // its own Stop finds the worker already ended
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromFile"), 1u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromRz"), 1u);
  EXPECT_EQ(Count(recorder, "Task mit dem TaskTyp [0]"), 1u);
  EXPECT_TRUE(OneBusyPeriod(status.BusyCalls())) << ::testing::PrintToString(status.BusyCalls());
}

TEST(RimoDataTest, QueueOfOnlyStopSetsAndClearsBusyOnceAndEndsCleanly) {
  RecordingStatus status;
  auto component = std::make_unique<RimoData>(&status, 1);
  component->PushTask(TaskType::Stop, nullptr);
  ASSERT_TRUE(status.WaitForDrains(1));
  EXPECT_EQ(status.BusyCalls(), (std::vector<bool>{true, false}));
  component.reset();
  EXPECT_EQ(status.BusyCalls().size(), 2u);
}

TEST(RimoDataTest, UnknownTaskTypeIsQueuedReadAndNotExecuted) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  {
    RimoData component(&status, 1);
    component.PushTask(5, L"argument");
    ASSERT_TRUE(status.WaitForDrains(1));
  }
  EXPECT_EQ(Count(recorder, "Ein neuer Task"), 0u);
  EXPECT_EQ(Count(recorder, "Task mit dem TaskTyp [5] wurde aus der Queue gelesen."), 1u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::Execute"), 1u) << "only ExecuteTask itself";
}

TEST(RimoDataTest, DestructionRunsEveryQueuedTaskFirst) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  auto component = std::make_unique<RimoData>(&status, 1);
  status.Lock();
  for (int i = 0; i < 5; ++i) component->LoadRimoResponseFromRZ(L"12345678901234567001");
  status.Unlock();
  component.reset();
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromRz"), 5u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::UpdateStatusIni"), 5u);
}

TEST(RimoDataTest, RzLoadQueuesGetFromRzThenUpdateStatusIni) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  {
    RimoData component(&status, 1);
    status.Lock();
    component.LoadRimoResponseFromRZ(L"U1");
    component.QueryRimoResponse(L"U1");
    status.Unlock();
  }
  std::vector<std::string> read = recorder.Matching("wurde aus der Queue gelesen.");
  ASSERT_EQ(read.size(), 5u);  // four tasks and the destructor's Stop
  EXPECT_NE(read[0].find("[2]"), std::string::npos);
  EXPECT_NE(read[1].find("[4]"), std::string::npos);
  EXPECT_NE(read[2].find("[3]"), std::string::npos);
  EXPECT_NE(read[3].find("[4]"), std::string::npos);
}

TEST(RimoDataTest, ArgumentsThatDoNotFitAreRefusedAndReported) {
  const std::wstring id21(21, L'1');
  const std::wstring path260 = L"/" + std::wstring(259, L'p');
  for (uint8_t flag : {0, 1}) {
    SCOPED_TRACE(flag == 1 ? "asynchronous" : "synchronous");
    TraceRecorder recorder({{"*", 16}});
    // Each report is checked once the queue has drained.
    {
      RecordingStatus status;
      { RimoData(&status, flag).LoadRimoResponseFromRZ(id21.c_str()); }
      EXPECT_EQ(status.GetErrorKind(), codes::kErrorRequest);
      EXPECT_STREQ(status.GetErrorId(), L"INT-99001");
    }
    {
      RecordingStatus status;
      { RimoData(&status, flag).QueryRimoResponse(nullptr); }
      EXPECT_EQ(status.GetErrorKind(), codes::kErrorRequest);
    }
    {
      RecordingStatus status;
      { RimoData(&status, flag).LoadRimoResponseFromFile(path260.c_str()); }
      EXPECT_EQ(status.GetStateCode(), codes::kStateFileLoadStarted);
      EXPECT_STREQ(status.GetUserMessage(), L"Die Datei konnte nicht geöffnet werden.");
    }
    EXPECT_EQ(Count(recorder, "Ein neuer Task"), 0u);
    EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGet"), 0u);
    EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteQuery"), 0u);
    EXPECT_EQ(Count(recorder, "nicht verarbeitet"), 2u);
    EXPECT_EQ(Count(recorder, "Die SC-User-ID ist leer. Url kann nicht erstellt werden."), 1u) << "a null ID is empty";
    EXPECT_EQ(Count(recorder, "länger als 20 Zeichen"), 1u);
  }
}

TEST(RimoDataTest, LongestArgumentsThatFitAreAccepted) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  {
    RimoData component(&status, 1);
    component.LoadRimoResponseFromRZ(std::wstring(20, L'1').c_str());
    component.LoadRimoResponseFromFile((L"/" + std::wstring(258, L'p')).c_str());
  }
  // The query itself fails (the built-in address never resolves), but the
  // argument was not refused.
  EXPECT_STRNE(status.GetErrorId(), L"INT-99001");
  EXPECT_STREQ(status.GetErrorId(), L"000-12007");
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromRz"), 1u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromFile"), 1u);
}

TEST(RimoDataTest, SynchronousCallsRunBeforeTheyReturn) {
  TraceRecorder recorder({{"*", 16}});
  RecordingStatus status;
  RimoData component(&status, 0);
  component.LoadRimoResponseFromRZ(L"U1");
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::ExecuteGetFromRz"), 1u);
  EXPECT_EQ(Count(recorder, "---> Beginn: RimoData::UpdateStatusIni"), 1u);
  EXPECT_EQ(Count(recorder, "Ein neuer Task"), 0u);
  // Busy for the whole call, as a worker shows it.
  EXPECT_TRUE(OneBusyPeriod(status.BusyCalls())) << ::testing::PrintToString(status.BusyCalls());
  EXPECT_FALSE(status.GetBusy());
}

TEST(RimoDataTest, EachObjectHasItsOwnWakeUp) {
  RecordingStatus statusA, statusB;
  RimoData a(&statusA, 1), b(&statusB, 1);
  constexpr int kRounds = 200;
  std::thread pushB([&] {
    for (int i = 1; i <= kRounds; ++i) {
      b.LoadRimoResponseFromFile(L"/tmp/b.xml");
      ASSERT_TRUE(statusB.WaitForDrains(i));
    }
  });
  for (int i = 1; i <= kRounds; ++i) {
    a.LoadRimoResponseFromFile(L"/tmp/a.xml");
    ASSERT_TRUE(statusA.WaitForDrains(i));
  }
  pushB.join();
}

}  // namespace
}  // namespace rimo::component
