// VARIANTs in and out: a caller's values as the library's variants, results and ByRef arguments
// back into the caller's types, text between UTF-16 and the printer's Windows-1252 bytes.
#include <cmath>
#include <limits>
#include <vector>

#include "interface/com/com.h"

namespace vtl::com {

namespace {

// No list a host hands over is larger than this; a bigger one is refused, not copied.
constexpr LONG kMaxElements = 1 << 20;

DispatchError NullUse() {
  return DispatchError(DISP_E_TYPEMISMATCH, 94, "Invalid use of Null");
}

Variant Whole(LONGLONG v, bool integer) {
  if (integer && v >= std::numeric_limits<std::int16_t>::min() &&
      v <= std::numeric_limits<std::int16_t>::max()) {
    return Variant::Integer(static_cast<std::int16_t>(v));
  }
  if (v >= std::numeric_limits<std::int32_t>::min() &&
      v <= std::numeric_limits<std::int32_t>::max()) {
    return Variant::Long(static_cast<std::int32_t>(v));
  }
  return Variant::Double(static_cast<double>(v));
}

// One element of an array, whatever its type.
Variant Element(SAFEARRAY* psa, VARTYPE vt, LONG index) {
  VARIANT v;
  VariantInit(&v);
  HRESULT hr = S_OK;
  switch (vt) {
    case VT_VARIANT:
      hr = SafeArrayGetElement(psa, &index, &v);
      break;
    case VT_BSTR: {
      BSTR s = nullptr;
      hr = SafeArrayGetElement(psa, &index, &s);
      v.vt = VT_BSTR;
      v.bstrVal = s;
      break;
    }
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
    case VT_CY:
    case VT_DATE:
    case VT_I8:
    case VT_UI8:
      v.vt = vt;
      hr = SafeArrayGetElement(psa, &index, &v.llVal);
      break;
    default:
      throw DispatchError::TypeMismatch();
  }
  if (FAILED(hr)) throw DispatchError::TypeMismatch();
  try {
    Variant out = FromVariant(v, VarType::Variant);
    VariantClear(&v);
    return out;
  } catch (...) {
    VariantClear(&v);
    throw;
  }
}

Variant FromArray(SAFEARRAY* psa, VARTYPE vt, VarType declared) {
  if (!psa) return Variant();
  if (SafeArrayGetDim(psa) != 1) throw DispatchError::TypeMismatch();
  LONG low = 0, high = -1;
  if (FAILED(SafeArrayGetLBound(psa, 1, &low)) || FAILED(SafeArrayGetUBound(psa, 1, &high))) {
    throw DispatchError::TypeMismatch();
  }
  if (high >= low && static_cast<LONGLONG>(high) - low + 1 > kMaxElements) {
    throw DispatchError(DISP_E_OVERFLOW, 7, "Out of memory");
  }
  const bool text = declared == VarType::StringArray ||
                    (declared != VarType::LongArray && (vt == VT_BSTR || vt == VT_VARIANT));
  if (text) {
    std::vector<std::string> list;
    for (LONG i = low; i <= high; ++i) list.push_back(Element(psa, vt, i).ToString());
    return Variant::StringArray(std::move(list));
  }
  std::vector<std::int32_t> list;
  for (LONG i = low; i <= high; ++i) list.push_back(Element(psa, vt, i).ToLong());
  return Variant::LongArray(std::move(list));
}

template <typename T, typename F>
SAFEARRAY* MakeArray(VARTYPE vt, const std::vector<T>& values, F put) {
  SAFEARRAY* psa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size()));
  if (!psa) return nullptr;
  for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i) {
    if (FAILED(put(psa, i, values[static_cast<std::size_t>(i)]))) {
      SafeArrayDestroy(psa);
      return nullptr;
    }
  }
  return psa;
}

SAFEARRAY* LongArray(const std::vector<std::int32_t>& values) {
  return MakeArray(VT_I4, values, [](SAFEARRAY* psa, LONG i, std::int32_t v) {
    LONG value = v;
    return SafeArrayPutElement(psa, &i, &value);
  });
}

SAFEARRAY* TextArray(const std::vector<std::string>& values) {
  return MakeArray(VT_BSTR, values, [](SAFEARRAY* psa, LONG i, const std::string& v) {
    BSTR s = ToBstr(v);
    const HRESULT hr = SafeArrayPutElement(psa, &i, s);  // copies the string
    SysFreeString(s);
    return hr;
  });
}

}  // namespace

std::string FromWide(const OLECHAR* text, std::size_t length) {
  if (!text || length == 0) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), n, nullptr,
                        nullptr);
  }
  return Utf8ToAnsi(utf8);
}

BSTR ToBstr(const std::string& ansi) {
  const std::string utf8 = AnsiToUtf8(ansi);
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(n > 0 ? n : 0));
  if (s && n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), s, n);
  }
  return s;
}

Variant FromVariant(const VARIANT& in, VarType declared) {
  const VARIANT* v = &in;
  // A Variant passed by reference holds the caller's value, which may be a reference again.
  while (v->vt == (VT_BYREF | VT_VARIANT)) {
    if (!v->pvarVal) return Variant();
    v = v->pvarVal;
  }
  const bool byRef = (v->vt & VT_BYREF) != 0;
  const VARTYPE vt = v->vt & ~VT_BYREF;
  if (vt & VT_ARRAY) {
    SAFEARRAY* psa = byRef ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    return FromArray(psa, vt & VT_TYPEMASK, declared);
  }
  switch (vt) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      throw NullUse();
    case VT_ERROR:
      if ((byRef ? *v->pscode : v->scode) == DISP_E_PARAMNOTFOUND) return Variant::MissingArg();
      throw DispatchError::TypeMismatch();
    case VT_I1:
      return Whole(byRef ? *v->pcVal : v->cVal, false);
    case VT_UI1:
      return Whole(byRef ? *v->pbVal : v->bVal, false);
    case VT_I2:
      return Whole(byRef ? *v->piVal : v->iVal, true);
    case VT_UI2:
      return Whole(byRef ? *v->puiVal : v->uiVal, false);
    case VT_I4:
      return Whole(byRef ? *v->plVal : v->lVal, false);
    case VT_UI4:
      return Whole(byRef ? *v->pulVal : v->ulVal, false);
    case VT_INT:
      return Whole(byRef ? *v->pintVal : v->intVal, false);
    case VT_UINT:
      return Whole(byRef ? *v->puintVal : v->uintVal, false);
    case VT_I8:
      return Whole(byRef ? *v->pllVal : v->llVal, false);
    case VT_UI8: {
      const ULONGLONG u = byRef ? *v->pullVal : v->ullVal;
      if (u > static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max())) {
        return Variant::Double(static_cast<double>(u));
      }
      return Whole(static_cast<LONGLONG>(u), false);
    }
    case VT_R4:
      return Variant::Double(byRef ? *v->pfltVal : v->fltVal);
    case VT_R8:
      return Variant::Double(byRef ? *v->pdblVal : v->dblVal);
    case VT_DATE:
      return Variant::Double(byRef ? *v->pdate : v->date);
    case VT_CY: {
      const CY cy = byRef ? *v->pcyVal : v->cyVal;
      return Variant::Double(static_cast<double>(cy.int64) / 10000.0);
    }
    case VT_DECIMAL: {
      double d = 0;
      DECIMAL* dec = byRef ? v->pdecVal : const_cast<DECIMAL*>(&v->decVal);
      if (FAILED(VarR8FromDec(dec, &d))) throw DispatchError::Overflow();
      return Variant::Double(d);
    }
    case VT_BOOL:
      return Variant::Boolean((byRef ? *v->pboolVal : v->boolVal) != VARIANT_FALSE);
    case VT_BSTR: {
      const BSTR s = byRef ? *v->pbstrVal : v->bstrVal;
      return Variant::String(FromWide(s, s ? SysStringLen(s) : 0));
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = byRef ? (v->ppunkVal ? *v->ppunkVal : nullptr) : v->punkVal;
      if (!unknown) return Variant::Object(nullptr);
      IDispatch* dispatch = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        throw DispatchError::TypeMismatch();
      }
      auto object = Unwrap(dispatch);
      dispatch->Release();
      if (!object) throw DispatchError::TypeMismatch();
      return Variant::Object(std::move(object));
    }
    default:
      throw DispatchError::TypeMismatch();
  }
}

HRESULT ToVariant(const Variant& value, VARIANT* out) {
  VariantInit(out);
  const Variant& v = value.Target();
  switch (v.Type()) {
    case VarType::Empty:
      return S_OK;
    case VarType::Integer:
      out->vt = VT_I2;
      out->iVal = v.ToInteger();
      return S_OK;
    case VarType::Long:
      out->vt = VT_I4;
      out->lVal = v.ToLong();
      return S_OK;
    case VarType::Double:
      out->vt = VT_R8;
      out->dblVal = std::get<double>(v.Raw());
      return S_OK;
    case VarType::Boolean:
      out->vt = VT_BOOL;
      out->boolVal = v.ToBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case VarType::String:
    case VarType::Bytes:
      out->vt = VT_BSTR;
      out->bstrVal = ToBstr(v.ToString());
      return out->bstrVal ? S_OK : E_OUTOFMEMORY;
    case VarType::Object:
      out->vt = VT_DISPATCH;
      out->pdispVal = v.ToObject() ? WrapObject(v.ToObject()) : nullptr;
      return S_OK;
    case VarType::LongArray:
      out->parray = LongArray(v.ToLongArray());
      out->vt = VT_ARRAY | VT_I4;
      return out->parray ? S_OK : E_OUTOFMEMORY;
    case VarType::StringArray:
      out->parray = TextArray(v.ToStringArray());
      out->vt = VT_ARRAY | VT_BSTR;
      return out->parray ? S_OK : E_OUTOFMEMORY;
    case VarType::Missing:
      out->vt = VT_ERROR;
      out->scode = DISP_E_PARAMNOTFOUND;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

void WriteBack(VARIANT& target, const Variant& value, const Variant& before) {
  VARIANT* t = &target;
  while (t->vt == (VT_BYREF | VT_VARIANT) && t->pvarVal &&
         t->pvarVal->vt == (VT_BYREF | VT_VARIANT)) {
    t = t->pvarVal;
  }
  if (!(t->vt & VT_BYREF)) return;
  // A list the member left as it found it stays the caller's own array, bounds and all.
  if (value == before && (value.Type() == VarType::LongArray ||
                          value.Type() == VarType::StringArray || value.IsEmpty())) {
    return;
  }
  try {
    switch (t->vt & ~VT_BYREF) {
      case VT_VARIANT: {
        VARIANT fresh;
        if (FAILED(ToVariant(value, &fresh))) return;
        VariantClear(t->pvarVal);
        *t->pvarVal = fresh;
        return;
      }
      case VT_I4:
        *t->plVal = value.ToLong();
        return;
      case VT_I2:
        *t->piVal = value.ToInteger();
        return;
      case VT_BOOL:
        *t->pboolVal = value.ToBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
        return;
      case VT_R8:
        *t->pdblVal = value.Type() == VarType::Double ? std::get<double>(value.Target().Raw())
                                                      : static_cast<double>(value.ToLong());
        return;
      case VT_BSTR: {
        BSTR fresh = ToBstr(value.ToString());
        if (!fresh) return;
        SysFreeString(*t->pbstrVal);
        *t->pbstrVal = fresh;
        return;
      }
      case VT_ARRAY | VT_I4:
      case VT_ARRAY | VT_BSTR:
      case VT_ARRAY | VT_VARIANT: {
        SAFEARRAY* fresh = nullptr;
        const VARTYPE element = (t->vt & ~VT_BYREF) & VT_TYPEMASK;
        if (element == VT_I4) {
          fresh = LongArray(value.ToLongArray());
        } else if (element == VT_BSTR) {
          fresh = TextArray(value.ToStringArray());
        } else {
          // A Variant() array gets Variants holding the values.
          VARIANT holder;
          if (FAILED(ToVariant(value, &holder))) return;
          fresh = nullptr;
          if (holder.vt & VT_ARRAY) {
            const auto count = static_cast<ULONG>(value.Type() == VarType::LongArray
                                                      ? value.ToLongArray().size()
                                                      : value.ToStringArray().size());
            fresh = SafeArrayCreateVector(VT_VARIANT, 0, count);
            for (LONG i = 0; fresh && i < static_cast<LONG>(count); ++i) {
              VARIANT item;
              VariantInit(&item);
              item.vt = holder.vt & VT_TYPEMASK;
              SafeArrayGetElement(holder.parray, &i, &item.llVal);
              SafeArrayPutElement(fresh, &i, &item);
              VariantClear(&item);
            }
          }
          VariantClear(&holder);
        }
        if (!fresh) return;
        if (*t->pparray) SafeArrayDestroy(*t->pparray);
        *t->pparray = fresh;
        return;
      }
      default:
        return;  // a type the member's value does not go into stays as it was
    }
  } catch (const DispatchError&) {
    // A value that does not fit the caller's variable leaves it as it was.
  }
}

}  // namespace vtl::com
