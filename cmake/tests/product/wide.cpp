#include <cstring>
#include <cwchar>
