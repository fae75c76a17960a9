#pragma once
// Helpers of the Win32 window's tests (being written).
