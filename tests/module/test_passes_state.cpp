// The server emergency state pass, as scenario tables: each step is one worker cycle with the
// agents' answers and everything that must happen in it (see ScenarioRunner.h).
#include <string>
#include <vector>

#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

using StatePassTest = PassesTest;

TEST_F(StatePassTest, FirstPollIsAChangeUnlessTheServerReportsTheInitialState) {
    const Scenario scenario = {{{0}, {1}},
                               {
                                   {std::nullopt,
                                    {},
                                    {{{S_OK, 0}, kMask4}, {{S_OK, 0xFFFFFFFF}, kMask4}},
                                    {GetState(0), GetConfig(0), OnState(0, 0, kNormal), GetState(1)}},
                                   {std::nullopt,
                                    {},
                                    {{{S_OK, 0}, kMask4}, {{S_OK, 0xFFFFFFFE}, kMask4}},
                                    {GetState(0), GetState(1), GetConfig(1),
                                     OnState(1, 0xFFFFFFFE, kEmergency), Request(1), OnFailover(1, 1)}},
                               }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, SameStateAgainCallsNothing) {
    const Scenario scenario = {
        {{0}},
        {
            {std::nullopt, {}, {{{S_OK, 3}, kMask4}}, {GetState(0), GetConfig(0), OnState(0, 3, kNormal)}},
            {std::nullopt, {}, {{{S_OK, 3}, kMask4}}, {GetState(0)}},
            {std::nullopt, {}, {{{S_OK, 0}, kMask4}}, {GetState(0), GetConfig(0), OnState(0, 0, kNormal)}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, EmergencyByMaskStartsTheTickOnceAndFailsOverOnce) {
    const Scenario scenario = {
        {{0, 1}},
        {
            // 0x6 meets the mask: emergency, start tick, failover in the same cycle.
            {1000,
             {},
             {{{S_OK, 0x6}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x6, kEmergency), OnState(1, 0x6, kEmergency), Request(0),
              OnFailover(0, 0), OnFailover(1, 0)},
             {},
             std::vector<Record>{{0, 0x6, true, 1000, 1}}},
            // Outside the mask: the flag goes, the start tick stays.
            {2000,
             {},
             {{{S_OK, 0x2}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x2, kNormal), OnState(1, 0x2, kNormal)},
             {},
             std::vector<Record>{{0, 0x2, false, 1000, 1}}},
            // The emergency returns: not restarted, no second request.
            {3000,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency)},
             {},
             std::vector<Record>{{0, 0x4, true, 1000, 1}}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, ActivationOtherThanOneMakesNoStateAnEmergency) {
    const Scenario scenario = {
        {{0}, {1}, {2}},
        {
            {std::nullopt,
             {},
             {{{S_OK, 0xFF}, {S_OK, 0, 0xFFFFFFFF}},
              {{S_OK, 0xFF}, {S_OK, 2, 0xFFFFFFFF}},
              {{S_OK, 0xFF}, {S_OK, -1, 0xFFFFFFFF}}},
             {GetState(0), GetConfig(0), OnState(0, 0xFF, kNormal), GetState(1), GetConfig(1),
              OnState(1, 0xFF, kNormal), GetState(2), GetConfig(2), OnState(2, 0xFF, kNormal)}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, ChangeWithoutConfigurationCountsAsEmergency) {
    const Scenario scenario = {
        {{0}, {1}},
        {
            // A failure is logged; another success code than S_OK is not, and its record is not
            // read (it says "no emergency" here).
            {std::nullopt,
             {},
             {{{S_OK, 0x8}, {kFail, 1, 0x8}, kAccepted}, {{S_OK, 0x8}, {S_FALSE, 1, 0}, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x8, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x8, kEmergency), Request(0), OnFailover(0, 0), Request(1), OnFailover(1, 1)},
             {{725, kFail}}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, FailedPollGivesTheKindAndDropsOnlyThatRegistration) {
    const Scenario scenario = {
        {{0}, {1}, {2}, {3}, {0}},
        {
            {std::nullopt,
             {},
             {{{kRpcDisconnected, 0}},
              {{kRpcServerUnavailable, 0}},
              {{kInvalidArg, 0}},
              {{kFail, 0}},
              {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), OnError(0, kCommunication), GetState(1), OnError(1, kCommunication), GetState(2),
              OnError(2, kOther), GetState(3), OnError(3, kOther), GetState(4), GetConfig(4),
              OnState(0, 0x4, kEmergency), Request(4), OnFailover(0, 4)},
             {{698, kRpcDisconnected}, {698, kRpcServerUnavailable}, {698, kInvalidArg}, {698, kFail}}},
            // The dropped registrations are never polled again.
            {std::nullopt,
             {},
             {{{S_OK, 0}}, {{S_OK, 0}}, {{S_OK, 0}}, {{S_OK, 0}}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(4)}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, RegistrationDroppedByAFailedPollIsGoneForTheFailoverPassOfTheSameCycle) {
    const Scenario scenario = {
        {{0}, {1}},
        {
            // Started within a minute of the tick count's wrap: the deadline wraps to a small value
            // and the failover has run out for both.
            {0xFFFFF000,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
              OnState(1, 0x4, kEmergency)},
             {},
             std::vector<Record>{{0, 0x4, true, 0xFFFFF000, 0}, {1, 0x4, true, 0xFFFFF000, 0}}},
            // The tick count has wrapped: both are due again, but r0 fails its poll first.
            {0x100,
             {},
             {{{kRpcServerUnavailable, 0}}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), OnError(0, kCommunication), GetState(1), Request(1), OnFailover(1, 1)},
             {{698, kRpcServerUnavailable}},
             std::vector<Record>{{1, 0x4, true, 0xFFFFF000, 1}}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, SuccessCodeOtherThanSOkChangesNothing) {
    const Scenario scenario = {
        {{0}},
        {
            {std::nullopt, {}, {{{S_OK, 3}, kMask4}}, {GetState(0), GetConfig(0), OnState(0, 3, kNormal)}},
            // The agent writes 9 along with S_FALSE; it is not taken.
            {std::nullopt, {}, {{{S_FALSE, 9}, kMask4}}, {GetState(0)}},
            {std::nullopt, {}, {{{S_OK, 3}, kMask4}}, {GetState(0)}},
            {std::nullopt, {}, {{{S_OK, 9}, kMask4}}, {GetState(0), GetConfig(0), OnState(0, 9, kNormal)}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, CallbacksFollowCookieThenHandlerAddressAndSkipNullHandlers) {
    const Scenario scenario = {
        {{kNullHandler, 2, 0}, {3, 1}},
        {
            {std::nullopt,
             {},
             {{{S_OK, 0x4}, kMask4, kAccepted}, {{S_OK, 0x4}, kMask4, kAccepted}},
             {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(2, 0x4, kEmergency),
              GetState(1), GetConfig(1), OnState(1, 0x4, kEmergency), OnState(3, 0x4, kEmergency), Request(0),
              OnFailover(0, 0), OnFailover(2, 0), Request(1), OnFailover(1, 1), OnFailover(3, 1)}},
            {std::nullopt,
             {},
             {{{kFail, 0}}, {{kFail, 0}}},
             {GetState(0), OnError(0, kOther), OnError(2, kOther), GetState(1), OnError(1, kOther),
              OnError(3, kOther)},
             {{698, kFail}, {698, kFail}}},
        }};
    RunScenario(scenario);
}

TEST_F(StatePassTest, ThrowingHandlerDoesNotStopTheOthersAndIsCollectedOnce) {
    // One throwing handler per callback slot, first of three and in the middle; std::exception and
    // exceptions of other types are collected with their own lines.
    const std::vector<std::vector<Throwing>> throwingSets = {
        {{0, HandlerSlot::ServerEmergencyState, ThrowKind::StdException},
         {1, HandlerSlot::ClientEmergencyFailover, ThrowKind::Other},
         {0, HandlerSlot::AgentError, ThrowKind::StdException}},
        {{0, HandlerSlot::ServerEmergencyState, ThrowKind::Other},
         {1, HandlerSlot::ClientEmergencyFailover, ThrowKind::StdException},
         {0, HandlerSlot::AgentError, ThrowKind::Other}},
    };
    const std::vector<std::vector<std::vector<Report>>> reportSets = {
        {{{771, kFail}, {648, kFail}}, {{835, kFail}, {698, kFail}}},
        {{{775, kFail}, {644, kFail}}, {{839, kFail}, {698, kFail}}},
    };
    for (std::size_t i = 0; i < throwingSets.size(); ++i) {
        SCOPED_TRACE("throwing set " + std::to_string(i + 1));
        const Scenario scenario = {
            {{0, 1, 2}},
            {
                {std::nullopt,
                 {},
                 {{{S_OK, 0x4}, kMask4, kAccepted}},
                 {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency),
                  OnState(2, 0x4, kEmergency), Request(0), OnFailover(0, 0), OnFailover(1, 0),
                  OnFailover(2, 0)},
                 reportSets[i][0]},
                {std::nullopt,
                 {},
                 {{{kFail, 0}}},
                 {GetState(0), OnError(0, kOther), OnError(1, kOther), OnError(2, kOther)},
                 reportSets[i][1]},
            },
            true,
            throwingSets[i]};
        RunScenario(scenario);
    }
}

}  // namespace
}  // namespace vqtest::scenario
