#include <kw/DataStore.h>

#include <iterator>

namespace kw {

namespace {

template <typename Map, typename Value>
bool readByIndex(const Map& map, unsigned int index, Value& value) {
  if (index >= map.size()) return false;
  value = std::next(map.begin(), index)->second;
  return true;
}

template <typename Map, typename Value>
bool readByName(const Map& map, const std::wstring& name, Value& value) {
  auto found = map.find(name);
  if (found == map.end()) return false;
  value = found->second;
  return true;
}

}  // namespace

DataStore::DataStore() = default;

DataStore::DataStore(const DataStore& other) { copyData(other); }

DataStore::~DataStore() { deleteData(); }

DataStore& DataStore::operator=(const DataStore& other) {
  if (this != &other) {
    deleteData();
    copyData(other);
  }
  return *this;
}

bool DataStore::containsIntAttribute(const wchar_t* name) const {
  return m_mapInts.count(name) != 0;
}
bool DataStore::containsIntAttribute(const std::wstring& name) const {
  return containsIntAttribute(name.c_str());
}
bool DataStore::containsStringAttribute(const wchar_t* name) const {
  return m_mapStrings.count(name) != 0;
}
bool DataStore::containsStringAttribute(const std::wstring& name) const {
  return containsStringAttribute(name.c_str());
}
bool DataStore::containsByteArrayAttribute(const wchar_t* name) const {
  return m_mapByteArrays.count(name) != 0;
}
bool DataStore::containsByteArrayAttribute(const std::wstring& name) const {
  return containsByteArrayAttribute(name.c_str());
}

bool DataStore::getAttributeValue(const std::wstring& name, int& value) const {
  return readByName(m_mapInts, name, value);
}
bool DataStore::getAttributeValue(const std::wstring& name, std::wstring& value) const {
  return readByName(m_mapStrings, name, value);
}
bool DataStore::getAttributeValue(const std::wstring& name, ByteArray*& value) const {
  return readByName(m_mapByteArrays, name, value);
}

bool DataStore::getAttributeValue(unsigned int index, int& value) {
  return readByIndex(m_mapInts, index, value);
}
bool DataStore::getAttributeValue(unsigned int index, std::wstring& value) {
  return readByIndex(m_mapStrings, index, value);
}
bool DataStore::getAttributeValue(unsigned int index, ByteArray*& value) {
  return readByIndex(m_mapByteArrays, index, value);
}

void DataStore::setAttributeValue(const std::wstring& name, int value) { m_mapInts[name] = value; }

void DataStore::setAttributeValue(const std::wstring& name, const std::wstring& value) {
  m_mapStrings[name] = value;
}

void DataStore::setAttributeValue(const std::wstring& name, ByteArray* value) {
  auto found = m_mapByteArrays.find(name);
  if (found == m_mapByteArrays.end()) {
    m_mapByteArrays.emplace(name, value);
  } else if (found->second != value) {
    delete found->second;
    found->second = value;
  }
}

void DataStore::removeIntAttribute(const std::wstring& name) { m_mapInts.erase(name); }

void DataStore::removeStringAttribute(const std::wstring& name) { m_mapStrings.erase(name); }

void DataStore::removeByteArrayAttribute(const std::wstring& name) {
  auto found = m_mapByteArrays.find(name);
  if (found == m_mapByteArrays.end()) return;
  delete found->second;
  m_mapByteArrays.erase(found);
}

void DataStore::copyData(const DataStore& other) {
  m_mapInts.insert(other.m_mapInts.begin(), other.m_mapInts.end());
  m_mapStrings.insert(other.m_mapStrings.begin(), other.m_mapStrings.end());
  for (const auto& entry : other.m_mapByteArrays) {
    if (entry.second) setAttributeValue(entry.first, new ByteArray(*entry.second));
  }
}

void DataStore::deleteData() {
  m_mapInts.clear();
  m_mapStrings.clear();
  for (auto& entry : m_mapByteArrays) delete entry.second;
  m_mapByteArrays.clear();
}

}  // namespace kw
