#include "host/app/qt_main_queue.hpp"
