// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The one counted outcome of a packet path's decision.
enum path_outcome : int {
    OUTCOME_FORWARD = 0,  // send or deliver it
    OUTCOME_REJECT = 1,   // refused by the 6rd address rules
    OUTCOME_ERROR = 2,    // too big, malformed, or no room for a header
};

// The outcome as a word, for test messages and models that compare outcomes.
inline const char* outcome_name(path_outcome outcome)
{
    switch (outcome) {
    case OUTCOME_FORWARD:
        return "forward";
    case OUTCOME_REJECT:
        return "reject";
    case OUTCOME_ERROR:
        return "error";
    }
    return "?";
}
