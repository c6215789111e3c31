// The client emergency failover pass, as scenario tables (see ScenarioRunner.h): the result-below-1
// rule, failed requests, the failover wait and its deadline with the tick count's wrap, a missing
// error state and a missing process identity.
#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

constexpr HRESULT kServerFault = static_cast<HRESULT>(0x80010105);  // RPC_E_SERVERFAULT

using FailoverPassTest = PassesTest;

TEST_F(FailoverPassTest, OnlyAResultBelowOneIsToldAndAFailedRequestGivesTheKind) {
    RunScenario({{{0}, {1}, {2}, {3}},
                 {// The agent leaves the result at the module's 0 when it fails: only the HRESULT counts.
                  {std::nullopt,
                   {},
                   {{{S_OK, 0x4}, kMask4, {S_OK, 1}},
                    {{S_OK, 0x4}, kMask4, {S_OK, -1}},
                    {{S_OK, 0x4}, kMask4, {kServerFault, 0}},
                    {{S_OK, 0x4}, kMask4, {kFail, 0}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
                    OnState(1, 0x4, kEmergency), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency),
                    GetState(3), GetConfig(3), OnState(3, 0x4, kEmergency), Request(0), Request(1),
                    OnFailover(1, 1), Request(2), OnError(2, kCommunication), Request(3), OnError(3, kOther)},
                   {kServerFault, kFail}},
                  // No request, failed or not, is made again.
                  {std::nullopt, {}, {}, {GetState(0), GetState(1), GetState(2), GetState(3)}}}});
}

TEST_F(FailoverPassTest, DeadlineWrapsOnBothSidesOfTheTickCount) {
    RunScenario({{{0}, {1}},
                 {// r0 starts 32.768 s before the wrap: start + 60000 ms wraps to 0x6A60, below the tick
                  // count (a wait taken as 6 s would not wrap and be due).
                  {0xFFFF8000,
                   {},
                   {{{S_OK, 0x4}}, {{S_OK, 0x0}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
                    OnState(1, 0x0, kNormal)}},
                  // Run out: the record stays as it is and is skipped again.
                  {0xFFFFFFFF,
                   {},
                   {},
                   {GetState(0), GetState(1)},
                   {},
                   std::vector<Record>{{0, 0x4, true, 0xFFFF8000, 0}, {1, 0x0, false, 0, 0}}},
                  // The tick count has wrapped: 0x6A60 is no longer below it, so the request is made long
                  // after the emergency began. r1's emergency starts after the wrap and is due at once.
                  {0x10,
                   {},
                   {{{S_OK, 0x4}}, {{S_OK, 0x4}}},
                   {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), Request(0),
                    OnFailover(0, 0), Request(1), OnFailover(1, 1)},
                   {},
                   std::vector<Record>{{0, 0x4, true, 0xFFFF8000, 1}, {1, 0x4, true, 0x10, 1}}}}});
}

TEST_F(FailoverPassTest, UserInteractionTimeOutZeroMakesTheStartTickTheDeadline) {
    // The wait is fetched in each pass: one cached from the first would let r1 run out.
    RunScenario({{{0}, {1}},
                 {{0xFFFFF000,
                   {},
                   {{{S_OK, 0x4}}, {{S_OK, 0x0}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
                    OnState(1, 0x0, kNormal)}},
                  // One millisecond past r0's start: run out. r1's emergency starts now and is due.
                  {0xFFFFF001,
                   {0u},
                   {{{S_OK, 0x4}}, {{S_OK, 0x4}}},
                   {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), Request(1),
                    OnFailover(1, 1)}},
                  // After the wrap the tick count is below r0's start again.
                  {0x5, {}, {}, {GetState(0), GetState(1), Request(0), OnFailover(0, 0)}}}});
}

TEST_F(FailoverPassTest, MissingErrorStateGivesThirtySecondsAndOneReportPerPassThatNeedsTheWait) {
    // 2^32 - 30001: the last tick count from which a 30-second wait reaches the wrap.
    constexpr DWORD kWaitReachesWrap = 0xFFFF8ACF;
    // The component's own time-out would be 60 seconds, which would wrap.
    RunScenario({{{0}, {1}, {2}},
                 {{kWaitReachesWrap,
                   {60u, true},
                   {{{S_OK, 0x4}}, {{S_OK, 0x0}}, {{S_OK, 0x4}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
                    OnState(1, 0x0, kNormal), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency),
                    Request(0), OnFailover(0, 0), Request(2), OnFailover(2, 2)},
                   {E_POINTER}},
                  // One millisecond later 30 s from r1's start wrap: reported again, and run out.
                  {kWaitReachesWrap + 1,
                   {},
                   {{{S_OK, 0x4}}, {{S_OK, 0x4}}, {{S_OK, 0x4}}},
                   {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), GetState(2)},
                   {E_POINTER},
                   std::vector<Record>{{0, 0x4, true, kWaitReachesWrap, 1},
                                       {1, 0x4, true, kWaitReachesWrap + 1, 0},
                                       {2, 0x4, true, kWaitReachesWrap, 1}}}}});
}

TEST_F(FailoverPassTest, MissingProcessIdentitySetsTheMarkAndNeverAsks) {
    RunScenario({{{0}},
                 {{1000,
                   {},
                   {{{S_OK, 0x4}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency)},
                   {},
                   std::vector<Record>{{0, 0x4, true, 1000, 1}}},
                  {2000, {}, {{{S_OK, 0x5}}}, {GetState(0), GetConfig(0), OnState(0, 0x5, kEmergency)}}},
                 false});
}

}  // namespace
}  // namespace vqtest::scenario
