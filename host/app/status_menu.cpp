#include "host/app/status_menu.hpp"
