// Stand-in declarations for the native build; included through platform/win32.h only.
#pragma once
