// The module frame of quenda._steploop: NumPy's array type, the kernel's C
// interface and the StepLoop class, bound in that order.
#include "kernel_link.hpp"
#include "object.hpp"

#include "../capi/buffers.hpp"

namespace quenda::steploop {
namespace {

using capi::Ref;

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenda._steploop",
    .m_doc = "The transient time loop in C++ for circuits whose sources it knows: the kernel's "
             "models driven through its C interface, KLU with kept factors, the outputs "
             "recorded into the host's arrays.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace quenda::steploop

PyMODINIT_FUNC PyInit__steploop() {
    using namespace quenda::steploop;
    if (!quenda::capi::load_ndarray_type() || !import_kernel()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&kModule));
    if (!module) return nullptr;
    Ref type = Ref::steal(create_step_loop_type());
    if (!type || PyModule_AddObjectRef(module.get(), "StepLoop", type.get()) < 0) return nullptr;
    return module.release();
}
