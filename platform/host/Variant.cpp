// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/host/Variant.h"

#include "platform/host/Dispatch.h"

#include <cmath>
#include <limits>

namespace tavrenly {

std::string_view VarTypeName(VarType type) noexcept
{
    switch (type) {
    case VarType::Empty:
        return "EMPTY";
    case VarType::I2:
        return "I2";
    case VarType::I4:
        return "I4";
    case VarType::R4:
        return "R4";
    case VarType::BStr:
        return "BSTR";
    case VarType::Bool:
        return "BOOL";
    case VarType::Record:
        return "RECORD";
    }
    return "EMPTY";
}

VarType Variant::Type() const noexcept
{
    static constexpr VarType kByIndex[] = {VarType::Empty, VarType::I2,   VarType::I4,
                                           VarType::R4,    VarType::BStr, VarType::Bool,
                                           VarType::Record};
    return kByIndex[m_value.index()];
}

namespace {

bool IsNumeric(VarType type)
{
    return type == VarType::I2 || type == VarType::I4 || type == VarType::R4 ||
           type == VarType::Bool;
}

double NumberOf(const Variant& value)
{
    switch (value.Type()) {
    case VarType::I2:
        return value.AsI2();
    case VarType::I4:
        return value.AsI4();
    case VarType::R4:
        return value.AsR4();
    case VarType::Bool:
        return value.AsBool() ? -1.0 : 0.0; // an automation boolean is -1 as a number
    default:
        return 0.0;
    }
}

/// An integer of `type` from `number`, rounded half to even; false when it does not fit.
template <class Int> bool ToInteger(double number, Int& out)
{
    if (!std::isfinite(number))
        return false;
    const double rounded = std::nearbyint(number); // the default mode rounds half to even
    if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<Int>::max()))
        return false;
    out = static_cast<Int>(rounded);
    return true;
}

} // namespace

int32_t ChangeType(Variant& value, VarType type)
{
    const VarType from = value.Type();
    if (from == type && from != VarType::Empty)
        return DISP_S_OK;
    if (!IsNumeric(from) || !IsNumeric(type))
        return DISP_E_TYPEMISMATCH;

    const double number = NumberOf(value);
    switch (type) {
    case VarType::Bool:
        if (std::isnan(number))
            return DISP_E_TYPEMISMATCH;
        value = Variant(number != 0.0);
        return DISP_S_OK;
    case VarType::R4:
        // A float keeps any finite double's magnitude range only up to FLT_MAX.
        if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max())
            return DISP_E_OVERFLOW;
        value = Variant(static_cast<float>(number));
        return DISP_S_OK;
    case VarType::I2: {
        int16_t out = 0;
        if (!ToInteger(number, out))
            return DISP_E_OVERFLOW;
        value = Variant(out);
        return DISP_S_OK;
    }
    case VarType::I4: {
        int32_t out = 0;
        if (!ToInteger(number, out))
            return DISP_E_OVERFLOW;
        value = Variant(out);
        return DISP_S_OK;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

} // namespace tavrenly
