// The server emergency state pass, as scenario tables: each step is one worker cycle with the
// agents' answers and everything that must happen in it (see ScenarioRunner.h).
#include "ScenarioRunner.h"

namespace vqtest::scenario {
namespace {

using StatePassTest = PassesTest;

TEST_F(StatePassTest, FirstPollIsAChangeUnlessTheServerReportsTheInitialState) {
    RunScenario({{{0}, {1}},
                 {{std::nullopt,
                   {},
                   {{{S_OK, 0}}, {{S_OK, 0xFFFFFFFF}}},
                   {GetState(0), GetConfig(0), OnState(0, 0, kNormal), GetState(1)}},
                  // The same state again calls nothing, not even for the configuration.
                  {std::nullopt,
                   {},
                   {{{S_OK, 0}}, {{S_OK, 0xFFFFFFFE}}},
                   {GetState(0), GetState(1), GetConfig(1), OnState(1, 0xFFFFFFFE, kEmergency), Request(1),
                    OnFailover(1, 1)}},
                  // A success code other than S_OK changes nothing: the 9 written along is not taken.
                  {std::nullopt, {}, {{{S_FALSE, 9}}}, {GetState(0), GetState(1)}},
                  {std::nullopt,
                   {},
                   {{{S_OK, 9}}},
                   {GetState(0), GetConfig(0), OnState(0, 9, kNormal), GetState(1)}}}});
}

// Callbacks follow the handlers' addresses, not the order they were added in, and skip a null handler.
TEST_F(StatePassTest, EmergencyByMaskStartsTheTickOnceAndFailsOverOnce) {
    RunScenario({{{kNullHandler, 1, 0}},
                 {// 0x6 meets the mask: emergency, start tick, failover in the same cycle.
                  {1000,
                   {},
                   {{{S_OK, 0x6}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x6, kEmergency), OnState(1, 0x6, kEmergency),
                    Request(0), OnFailover(0, 0), OnFailover(1, 0)},
                   {},
                   std::vector<Record>{{0, 0x6, true, 1000, 1}}},
                  // Outside the mask: the flag goes, the start tick stays.
                  {2000,
                   {},
                   {{{S_OK, 0x2}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x2, kNormal), OnState(1, 0x2, kNormal)},
                   {},
                   std::vector<Record>{{0, 0x2, false, 1000, 1}}},
                  // The emergency returns: not restarted, no second request.
                  {3000,
                   {},
                   {{{S_OK, 0x4}}},
                   {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), OnState(1, 0x4, kEmergency)},
                   {},
                   std::vector<Record>{{0, 0x4, true, 1000, 1}}}}});
}

TEST_F(StatePassTest, ActivationOtherThanOneOrAMissingConfiguration) {
    // Activation 0 and 2 make no state an emergency. A failed configuration counts as an emergency
    // and is logged; another success code than S_OK is not logged and its record (saying "no
    // emergency") is not read.
    RunScenario({{{0}, {1}, {2}, {3}},
                 {{std::nullopt,
                   {},
                   {{{S_OK, 0xFF}, {S_OK, 0, 0xFF}},
                    {{S_OK, 0xFF}, {S_OK, 2, 0xFF}},
                    {{S_OK, 0x8}, {kFail, 1, 0x8}},
                    {{S_OK, 0x8}, {S_FALSE, 1, 0}}},
                   {GetState(0), GetConfig(0), OnState(0, 0xFF, kNormal), GetState(1), GetConfig(1),
                    OnState(1, 0xFF, kNormal), GetState(2), GetConfig(2), OnState(2, 0x8, kEmergency),
                    GetState(3), GetConfig(3), OnState(3, 0x8, kEmergency), Request(2), OnFailover(2, 2),
                    Request(3), OnFailover(3, 3)},
                   {kFail}}}});
}

TEST_F(StatePassTest, FailedPollGivesTheKindAndDropsTheRegistrationBeforeTheFailoverPass) {
    RunScenario(
        {{{0}, {1}, {2}, {3}, {0}},
         {// Started within a minute of the tick count's wrap: the deadline wraps to a small
          // value and the failover has run out for all.
          {0xFFFFF000,
           {},
           {{{S_OK, 0x4}}, {{S_OK, 0x4}}, {{S_OK, 0x4}}, {{S_OK, 0x4}}, {{S_OK, 0x4}}},
           {GetState(0), GetConfig(0), OnState(0, 0x4, kEmergency), GetState(1), GetConfig(1),
            OnState(1, 0x4, kEmergency), GetState(2), GetConfig(2), OnState(2, 0x4, kEmergency), GetState(3),
            GetConfig(3), OnState(3, 0x4, kEmergency), GetState(4), GetConfig(4),
            OnState(0, 0x4, kEmergency)}},
          // The tick count has wrapped: all are due again, but four fail their poll first.
          {0x100,
           {},
           {{{kRpcDisconnected, 0}}, {{kRpcServerUnavailable, 0}}, {{kInvalidArg, 0}}, {{kFail, 0}}},
           {GetState(0), OnError(0, kCommunication), GetState(1), OnError(1, kCommunication), GetState(2),
            OnError(2, kOther), GetState(3), OnError(3, kOther), GetState(4), Request(4), OnFailover(0, 4)},
           {kRpcDisconnected, kRpcServerUnavailable, kInvalidArg, kFail},
           std::vector<Record>{{4, 0x4, true, 0xFFFFF000, 1}}},
          // The dropped registrations are never polled again.
          {std::nullopt, {}, {}, {GetState(4)}}}});
}

}  // namespace
}  // namespace vqtest::scenario
