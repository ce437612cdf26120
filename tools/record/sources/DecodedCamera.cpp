#include "tools/record/sources/DecodedCamera.h"

namespace sorvo::tools {

bool DecodedCamera::Next(std::vector<uint8_t>* data, double* due) {
  if (!NextDecoded(&m_decoded, due))
    return false;
  if (!m_converter)
    m_converter.emplace(m_width, m_height);
  if (!m_converter->Convert(m_decoded.get(), data)) {
    m_error = "its pictures cannot be converted";
    return false;
  }
  if (!m_converter->note().empty())
    AddNote(m_converter->note());
  return true;
}

}  // namespace sorvo::tools
