#ifndef ORVIND_BMCSESSION_H
#define ORVIND_BMCSESSION_H

#include "fpl.h"

#include <chrono>

// One open BMC handle kept across the rows of a forwarding pass, so that a pass costs
// one session rather than one per row and target: opened on first use, closed after any
// failure (the next use opens it anew) and once it has been idle for a second.
class BmcSession {
public:
    // The open handle (with the event dictionaries), opened now when it is not; null when
    // the BMC cannot be opened, with the library's code in *rc. A failed open is not tried
    // again until the next pass (newPass): every step of a pass gets the same code.
    BMC_t* get(int* rc = nullptr);
    // Closes the handle, after a failure that may have lost the session: the next use
    // opens a new one.
    void close();
    // A new pass begins: an open that failed in the last one may be tried again.
    void newPass();
    // Closes the handle when it has not been used for a second.
    void closeIfIdle();
    bool isOpen() const { return static_cast<bool>(handle); }

private:
    BmcHandle handle;
    int failure = 0; // the code of this pass's failed open, 0 when none failed
    std::chrono::steady_clock::time_point used;
};

#endif
