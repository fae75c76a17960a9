#pragma once

// A bus that changes by itself between downloads, as a line's operator changes it: the demo's
// modules that leave after their verdict and are followed by the next. The window's controller
// drives it on the window's thread, never while a download runs.
class BusScript {
  public:
    virtual ~BusScript() = default;
    // A download ended: the milliseconds until Advance is due, or 0 for nothing to do.
    virtual int DownloadEnded(bool production, bool ok) = 0;
    // It is due: the bus changes (and tells the platform's watcher); the milliseconds until the
    // next change, or 0 for none until the next download ends.
    virtual int Advance(bool production) = 0;
};
