#pragma once

#include "sim/demo_shift.h"

// The demo's shift, ended after `downloads` downloads: the last module stays plugged in.
class ShortShift final : public BusScript {
  public:
    ShortShift(DemoShift& shift, int downloads) : m_shift(shift), m_left(downloads) {}
    int DownloadEnded(bool production, bool ok) override {
        return --m_left > 0 ? m_shift.DownloadEnded(production, ok) : 0;
    }
    int Advance(bool production) override { return m_shift.Advance(production); }

  private:
    DemoShift& m_shift;
    int m_left;
};
