// Default behaviour of the effect interface and the input list.
#include "montage/effect.h"

namespace {

// Node at `position` (<= 0: the first), or null when the position is at or past the end.
InputNode* NodeAt(InputNode* first, int position) {
  InputNode* node = first;
  while (position > 0 && node != nullptr) {
    node = node->next;
    --position;
  }
  return node;
}

void LinkAfter(InputNode* anchor, InputNode* node) {
  node->prev = anchor;
  node->next = anchor->next;
  if (anchor->next != nullptr) anchor->next->prev = node;
  anchor->next = node;
}

// Joins the neighbours of `node` and clears its links; `first` follows when it was the
// first node.
void Unlink(InputNode*& first, InputNode* node) {
  if (node->prev != nullptr) node->prev->next = node->next;
  if (node->next != nullptr) node->next->prev = node->prev;
  if (first == node) first = node->next;
  node->prev = nullptr;
  node->next = nullptr;
}

void ReleaseList(InputNode*& first) {
  while (first != nullptr) {
    InputNode* node = first;
    Unlink(first, node);
    delete node;
  }
}

}  // namespace

IEffectMulti::~IEffectMulti() { ReleaseList(m_inputs); }

int IEffectMulti::GetEffectKind() { return 1; }

int IEffectMulti::GetDisplayName(char* buffer, int size) {
  // Slot 2 reports a count; the name copy's result is the buffer, so report the length
  // of what it wrote instead of a truncated address.
  GetName(buffer, size);
  if (buffer == nullptr || size <= 0) return 0;
  int length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  return length;
}

CEffectSetting* IEffectMulti::GetSettings(int* n) {
  if (n != nullptr) *n = 0;
  return nullptr;
}

int IEffectMulti::GetFlags() { return 0; }

void IEffectMulti::GetHostPair(int* a, int* b) {
  if (a != nullptr) *a = m_hostA;
  if (b != nullptr) *b = m_hostB;
}

int IEffectMulti::GetHostValue() { return m_hostValue; }

void IEffectMulti::SetHostPair(int a, int b) {
  m_hostA = a;
  m_hostB = b;
}

void IEffectMulti::SetHostValue(int v) { m_hostValue = v; }

void IEffectMulti::Reset() {
  m_hostB = 0;
  m_hostA = 0;
  m_hostValue = 0;
  ReleaseList(m_inputs);
}

int IEffectMulti::GetDefaultInputCount() {
  int min = 0;
  int max = 0;
  GetInputRange(&min, &max);
  // Halve in 64 bits: min + max + 1 may not fit in 32.
  if (max >= 0) return static_cast<int>((static_cast<long long>(min) + max + 1) / 2);
  return min > 4 ? min : 4;
}

int IEffectMulti::GetInputCount() {
  int count = 0;
  for (const InputNode* node = m_inputs; node != nullptr; node = node->next) ++count;
  return count;
}

CEffectSetting* IEffectMulti::GetSettingsFor(int /*count*/, int* n) { return GetSettings(n); }

int IEffectMulti::GetTemplateCode() { return -1; }

int IEffectMulti::InsertInput(int index, int id) {
  // Allocated before any link changes, so a failure leaves the list as it was.
  auto* node = new InputNode{id, nullptr, nullptr};
  if (m_inputs == nullptr) {
    m_inputs = node;
    return 0;
  }
  // The anchor is the node at `index`; a negative index, or one at or past the end,
  // anchors at the last node, so the new input is appended and no node is lost.
  InputNode* anchor = m_inputs;
  int position = 0;
  while ((index < 0 || position < index) && anchor->next != nullptr) {
    anchor = anchor->next;
    ++position;
  }
  LinkAfter(anchor, node);
  return position + 1;
}

int IEffectMulti::ReplaceInput(int index, int id) {
  InputNode* old = NodeAt(m_inputs, index);
  if (old == nullptr) return 0;
  auto* node = new InputNode{id, nullptr, nullptr};
  LinkAfter(old, node);
  Unlink(m_inputs, old);
  delete old;
  return 1;
}

int IEffectMulti::RemoveInput(int index) {
  InputNode* node = NodeAt(m_inputs, index);
  if (node == nullptr) return 0;
  Unlink(m_inputs, node);
  delete node;
  return 1;
}
