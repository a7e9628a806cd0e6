// The serial channel needs nothing of the multimedia header; platform/win32.h includes it.
#pragma once
