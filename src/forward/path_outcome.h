#pragma once

// The one counted outcome of a packet path's decision.
enum path_outcome : int {
    OUTCOME_FORWARD = 0,  // send or deliver it
    OUTCOME_REJECT = 1,   // refused by the 6rd address rules
    OUTCOME_ERROR = 2,    // too big, malformed, or no room for a header
};
