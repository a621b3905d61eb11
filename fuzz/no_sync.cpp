// The settings store makes every write durable with fsync, which costs milliseconds a call and
// would starve the fuzzer. Durability is not what the fuzz targets test: here it is a no-op.
#include <unistd.h>

extern "C" int fsync(int /*fd*/) {
    return 0;
}
