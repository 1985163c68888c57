#include "core/diagnostics/main_thread_hang_detector.hpp"
