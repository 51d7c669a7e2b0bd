#pragma once
#include "tests/cli_fixture.h"
