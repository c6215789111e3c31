// The client emergency failover pass, as scenario tables (see ScenarioRunner.h): the result-below-1
// rule, failed requests, the once-per-registration mark, the failover wait and its deadline with
// the tick count's wrap, a missing error state and a missing process identity.
#include <vector>

#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

constexpr HRESULT kServerFault = static_cast<HRESULT>(0x80010105);  // RPC_E_SERVERFAULT

// 2^32 - 30001 and 2^32 - 30000: the last tick counts from which a 30-second wait does, and the
// first from which it does not, reach the wrap.
constexpr DWORD kWaitReachesWrap = 0xFFFF8ACF;
constexpr DWORD kWaitWraps = 0xFFFF8AD0;

using FailoverPassTest = PassesTest;

TEST_F(FailoverPassTest, OnlyAResultBelowOneIsToldToTheHandlers) {
    const Scenario scenario = {
        {{0}, {1}, {2}, {3}},
        {
            {std::nullopt,
             {},
             {{{S_OK, 0x4}, kMask4, {S_OK, 1}},
              {{S_OK, 0x4}, kMask4, {S_OK, 0}},
              {{S_OK, 0x4}, kMask4, {S_OK, -1}},
              {{S_OK, 0x4}, kMask4, {S_OK, 7}}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x4, kEmergency), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency),
              GetState(3), GetConfig(3), OnState(3, 0x4, kEmergency), Request(0), Request(1),
              OnFailover(1, 1), Request(2), OnFailover(2, 2), Request(3)}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, FailedRequestGivesTheKindNoFailoverCallbackAndIsNotRepeated) {
    const Scenario scenario = {
        {{0}, {1}, {2}},
        {
            // The agent leaves the result at the module's 0 when it fails: only the HRESULT counts.
            {std::nullopt,
             {},
             {{{S_OK, 0x4}, kMask4, {kServerFault, 0}},
              {{S_OK, 0x4}, kMask4, {kInvalidArg, 0}},
              {{S_OK, 0x4}, kMask4, {kFail, 0}}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x4, kEmergency), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency), Request(0),
              OnError(0, kCommunication), Request(1), OnError(1, kOther), Request(2), OnError(2, kOther)},
             {{612, kServerFault}, {612, kInvalidArg}, {612, kFail}}},
            // Still registered, still polled; the request is not made again.
            {std::nullopt,
             {},
             {{{S_OK, 0x5}, kMask4, kAccepted},
              {{S_OK, 0x5}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x5, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x5, kEmergency), GetState(2)}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, DeadlineWrapsOnBothSidesOfTheTickCount) {
    const Scenario scenario = {
        {{0}, {1}},
        {
            // r0 starts a minute before the wrap: start + 60000 wraps to 0xDA60, below the tick count.
            {0xFFFFF000,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x0}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x0, kNormal)},
             {},
             std::vector<Record>{{0, 0x4, true, 0xFFFFF000, 0}, {1, 0x0, false, 0, 0}}},
            // Run out: the record stays as it is and is skipped again.
            {0xFFFFFFFF,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x0}, kMask4, kAccepted}},
             {GetState(0), GetState(1)},
             {},
             std::vector<Record>{{0, 0x4, true, 0xFFFFF000, 0}, {1, 0x0, false, 0, 0}}},
            // The tick count has wrapped: 0xDA60 is no longer below it, so the request is made long
            // after the emergency began. r1's emergency starts after the wrap and is due at once.
            {0x10,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), Request(0),
              OnFailover(0, 0), Request(1), OnFailover(1, 1)},
             {},
             std::vector<Record>{{0, 0x4, true, 0xFFFFF000, 1}, {1, 0x4, true, 0x10, 1}}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, EmergencyThatEndedUnservedWaitsForItsReturnAndKeepsItsFirstStart) {
    const Scenario scenario = {
        {{0}},
        {
            // Run out at once (the deadline wraps).
            {0xFFFFF000,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency)}},
            {0xFFFFFFFF,
             {},
             {{{S_OK, 0x0}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x0, kNormal)}},
            // Within the deadline again after the wrap, but no emergency now.
            {0x10, {}, {{{S_OK, 0x0}, kMask4, kAccepted}}, {GetState(0)}},
            // It returns: the first start still counts, and its deadline (0xDA60) is not past.
            {0x20,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), Request(0), OnFailover(0, 0)},
             {},
             std::vector<Record>{{0, 0x4, true, 0xFFFFF000, 1}}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, UserInteractionTimeOutZeroMakesTheStartTickTheDeadline) {
    const Scenario scenario = {
        {{0}, {1}},
        {
            {0xFFFFF000,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x0}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x0, kNormal)}},
            // One millisecond past r0's start: run out. r1's emergency starts now and is due.
            {0xFFFFF001,
             {0u},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), Request(1),
              OnFailover(1, 1)}},
            // After the wrap the tick count is below r0's start again.
            {0x5,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), Request(0), OnFailover(0, 0)}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, FailoverWaitIsFetchedAgainInEachPass) {
    const Scenario scenario = {{{0}},
                               {
                                   {0xFFFFF000,
                                    {},
                                    {{{S_OK, 0x4}, kMask4, kAccepted}},
                                    {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency)}},
                                   // A one-second time-out no longer reaches the wrap.
                                   {0xFFFFF001,
                                    {1u},
                                    {{{S_OK, 0x4}, kMask4, kAccepted}},
                                    {GetState(0), Request(0), OnFailover(0, 0)}},
                               }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, MissingErrorStateGivesThirtySecondsAndOneReportPerPassThatNeedsTheWait) {
    // The component's own time-out would be 60 seconds.
    const Scenario scenario = {
        {{0}, {1}, {2}},
        {
            // 30 s from r0's and r2's start just reach 0xFFFFFFFF (60 s would wrap): both are due,
            // with one report.
            {kWaitReachesWrap,
             {60u, true},
             {{{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x0}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x0, kNormal), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency), Request(0),
              OnFailover(0, 0), Request(2), OnFailover(2, 2)},
             {{568, E_POINTER}}},
            // r1 needs the wait, which wraps to 0 from its start: reported, and run out.
            {kWaitWraps,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), GetState(2)},
             {{568, E_POINTER}}},
            // Run out, but still in need of the wait in every pass: reported again.
            {kWaitWraps,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), GetState(2)},
             {{568, E_POINTER}},
             std::vector<Record>{{0, 0x4, true, kWaitReachesWrap, 1},
                                 {1, 0x4, true, kWaitWraps, 0},
                                 {2, 0x4, true, kWaitReachesWrap, 1}}},
            // The error state is back, and the tick count has wrapped below r1's 60-second deadline.
            {0x10,
             {std::nullopt, false},
             {{{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetState(1), GetState(2), Request(1), OnFailover(1, 1)}},
        }};
    RunScenario(scenario);
}

TEST_F(FailoverPassTest, MissingProcessIdentitySetsTheMarkAndNeverAsks) {
    const Scenario scenario = {{{0}},
                               {
                                   {1000,
                                    {},
                                    {{{S_OK, 0x4}, kMask4, kAccepted}},
                                    {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency)},
                                    {},
                                    std::vector<Record>{{0, 0x4, true, 1000, 1}}},
                                   {2000,
                                    {},
                                    {{{S_OK, 0x0}, kMask4, kAccepted}},
                                    {GetState(0), GetConfig(0), OnState(0, 0x0, kNormal)}},
                                   {3000,
                                    {},
                                    {{{S_OK, 0x4}, kMask4, kAccepted}},
                                    {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency)}},
                               },
                               false};
    RunScenario(scenario);
}

}  // namespace
}  // namespace vqtest::scenario
