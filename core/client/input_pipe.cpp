#include "core/client/input_pipe.hpp"
