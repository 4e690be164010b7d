#include "rt_serial/datalink/ID_Filter.hpp"

namespace Quorin_Core::RT_Serial::Datalink {

ID_Filter ID_Filter::allow_only(std::uint8_t id) {
    ID_Filter filter(true);
    filter.insert(id);
    return filter;
}

}  // namespace Quorin_Core::RT_Serial::Datalink
