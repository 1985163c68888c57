#include "host/app/app_shell.hpp"
