#include "records.hpp"

namespace shell_worker {

Records records;

}  // namespace shell_worker
