// The user's request to stop, as a blocking exchange with the module sees it: something to
// poll beside its own descriptor, so that a wait for a reply ends at once when asked.
#pragma once

class StopCheck {
public:
    /// Readable when a request came; -1 where there is no descriptor to poll.
    virtual int Fd() const = 0;
    /// True when waits for a reply should give up now.
    virtual bool Aborting() = 0;

protected:
    ~StopCheck() = default;
};
