#include "spectra.h"

namespace corvix {

PyObject* pair_of_lists(const double* first, const double* second, std::size_t count) {
    Ref a(real_list(first, count));
    Ref b(real_list(second, count));
    return tuple_of(a, b);
}

}  // namespace corvix
