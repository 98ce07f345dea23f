// The binary contract between a montage host and an animation-template plug-in.
//
// A plug-in is one shared library (an ELF shared object named after its template, for
// example `Brisolen.so`) that exports exactly two plain C functions, `GetNumEffects` and
// `CreateEffect`. `CreateEffect` returns an effect object; from then on the host talks to
// it only through the 22 virtual operations of `IEffectMultiDLL` below, in slot order,
// and reads the records `CEffectSetting` and `KeyFrame` in place.
//
// Binary layout
//   The records and the effect object keep the field order of the original 32-bit
//   libraries. On a 32-bit build (4-byte pointers) every offset is exactly the one noted
//   beside the field; a 64-bit build keeps the order with natural alignment. The
//   static_asserts at the end of this header prove both.
//
// Table of virtual operations
//   Slots 0-21 are declared in slot order. Slot 11 is the virtual destructor. Under the
//   Itanium C++ ABI (g++ and clang on Linux) a virtual destructor takes two table
//   entries (complete-object and deleting destructor), so slots 12-21 sit one table
//   entry later than their slot number. Host and plug-in agree on this because both are
//   compiled with the same C++ ABI; a host built with another ABI cannot use these
//   plug-ins through this header.
//
// Ownership
//   Every block a plug-in hands out is allocated by that plug-in. The host frees nothing
//   it receives, with one exception: an array returned by a direct call of
//   `GenerateKeyFrames` (slot 21) belongs to the caller and is released with `delete[]`.
//   The effect object ends its life only through `Release` (slot 20); its destructor is
//   protected so that a host cannot `delete` it.
//
// What a host links against
//   Nothing. A host calls the operations through an object's table and reads the records
//   in place; every function this header declares (the defaults of IEffectMulti's slots,
//   CEffectSetting's constructor, destructor and SetKeyFrames) is implemented by the
//   framework inside each plug-in (framework/effect_multi.cpp, effect_setting.cpp) and
//   hidden there. They are declared here because the table and the record layout are
//   part of the contract.
//
// Threads
//   None. An effect object is used by one thread at a time and nothing is locked.
#ifndef MONTAGE_EFFECT_H
#define MONTAGE_EFFECT_H

#include <cstddef>
#include <cstdint>

// One pose of one input at one moment of the effect. Arrays of `KeyFrame` are
// contiguous with a stride of 64 bytes; no element count is stored with them.
// A default-constructed record is the default pose (0, 0, 1, 1, 0, 0, 0, 0, 0).
struct KeyFrame {
  double PosX = 0.0;      // @0  centre's horizontal offset from the frame's centre, in frame widths
  double PosY = 0.0;      // @8  centre's vertical offset from the frame's centre, in frame heights
  double Scale = 1.0;     // @16 size relative to the output frame; 1 = full frame
  double Opacity = 1.0;   // @24 0 = hidden, 1 = fully shown
  double Rotation = 0.0;  // @32 turn of the input; the host's renderer gives it a unit
  double Time = 0.0;      // @40 moment of this pose; 0 = start, 1 = end of the effect
  double Aux0 = 0.0;      // @48 carried unchanged to the host
  std::int32_t Aux1 = 0;  // @56 carried unchanged to the host
  std::int32_t Aux2 = 0;  // @60 carried unchanged to the host
};

// One named setting of an effect, owning one value buffer. The settings array that
// `GetSettings` returns is a run of consecutive elements with a stride of
// sizeof(CEffectSetting). Hosts only read these records; they never construct, copy,
// modify or destroy them.
class CEffectSetting {
 public:
  // `m_type` values. The plug-ins only ever produce kTypeNone and kTypeKeyFrames.
  static constexpr std::int32_t kTypeNone = 0;
  static constexpr std::int32_t kTypeKeyFrames = 3;
  static constexpr int kNameCapacity = 256;

  // An empty setting: type 0, both names empty, both parameters -1, no buffer.
  CEffectSetting();
  CEffectSetting(const CEffectSetting&) = delete;
  CEffectSetting& operator=(const CEffectSetting&) = delete;
  // Frees the value buffer when `m_type` is 1, 2 or 3 and always clears `m_data`.
  virtual ~CEffectSetting();  // the only entry of this record's table

  // Plug-in side only: turns this setting into a "KeyFrames" setting holding its own
  // copy of `count` records read from `frames` (which stay owned by the caller). A
  // buffer the setting already owns is released. Throws std::bad_alloc when the copy
  // cannot be allocated, including a negative count or a byte size beyond 32 bits; the
  // setting then holds no buffer.
  void SetKeyFrames(const char* name, const char* displayName, int count, const KeyFrame* frames);

  // The keyframes of a "KeyFrames" setting, or null for any other setting.
  [[nodiscard]] const KeyFrame* KeyFrames() const {
    return m_type == kTypeKeyFrames ? static_cast<const KeyFrame*>(m_data) : nullptr;
  }

  char m_displayName[kNameCapacity];  // @4   shown to users: "Key Frames"
  char m_name[kNameCapacity];         // @260 internal name: "KeyFrames"
  std::int32_t m_type;                // @516 0 = no value, 3 = KeyFrame array in m_data
  std::int32_t m_paramA;              // @520 -1 when empty, 0 in a keyframe setting
  std::int32_t m_paramB;              // @524 -1 when empty, 0 in a keyframe setting
  void* m_data;                       // @528 the owned value buffer, or null
  std::int32_t m_count;               // @532 elements in m_data (KeyFrame records for type 3)
};

// One registered input. The effect object owns its nodes; hosts may walk them from
// `m_inputs` along `next` (and back along `prev`) but never change them.
struct InputNode {
  std::int32_t id;  // @0 identifier chosen by the host; stored, never interpreted
  InputNode* prev;  // @4 node before this one; null for the first node
  InputNode* next;  // @8 node after this one; null for the last node
};

// Root of the effect interface; no table or behaviour of its own.
class IEffect {};

// The multi-input effect interface: slots 0-19 and the four fields every effect object
// starts with. Integers crossing the interface are signed 32-bit. Every operation may be
// called at any time and in any order; null result pointers are never written through.
class IEffectMulti : public IEffect {
 public:
  IEffectMulti() = default;
  IEffectMulti(const IEffectMulti&) = delete;
  IEffectMulti& operator=(const IEffectMulti&) = delete;

  // Slot 0. Kind of effect; 1 for every plug-in here.
  virtual int GetEffectKind();
  // Slot 1. Copies the effect's name into `buffer` like strncpy: at most `size` bytes,
  // the rest of the first `size` bytes zero-filled, terminated only when `size` exceeds
  // the name's length. A null buffer or a size <= 0 writes nothing. Returns `buffer`.
  virtual char* GetName(char* buffer, int size) = 0;
  // Slot 2. Copies the display name (at most size - 1 characters and a terminator) and
  // returns the number of characters copied; 0 when no display name exists.
  virtual int GetDisplayName(char* buffer, int size);
  // Slot 3. Settings for the current number of inputs; stores their count into *n.
  // The array stays owned by the effect and valid until a build for another count,
  // or `Release`. Null when there are no inputs.
  virtual CEffectSetting* GetSettings(int* n);
  // Slot 4. Returns 0; the arguments are not read.
  virtual int Process(std::int32_t a, std::int32_t b, std::int32_t c) = 0;
  // Slot 5. Returns 0.
  virtual int GetFlags();
  // Slot 6. Reads the two host-owned values stored by `SetHostPair`.
  virtual void GetHostPair(int* a, int* b);
  // Slot 7. Reads the host-owned value stored by `SetHostValue`.
  virtual int GetHostValue();
  // Slot 8. Stores two values for the host; the plug-in never interprets them.
  virtual void SetHostPair(int a, int b);
  // Slot 9. Stores one value for the host; the plug-in never interprets it.
  virtual void SetHostValue(int v);
  // Slot 10. Sets the three host values to 0 and empties the input list. Kept settings
  // stay kept.
  virtual void Reset();

 protected:
  // Slot 11 (two table entries, see the top of this header). Hosts end an effect with
  // `Release`, never with delete.
  virtual ~IEffectMulti();

 public:
  // Slot 12. Smallest and largest input count the template is designed for; -1 as the
  // maximum means none. Advisory: any number of inputs is built.
  virtual void GetInputRange(int* min, int* max) = 0;
  // Slot 13. Proposed input count: (min + max + 1) / 2 with a maximum, else max(min, 4).
  virtual int GetDefaultInputCount();
  // Slot 14. Number of registered inputs (walks the list).
  virtual int GetInputCount();
  // Slot 15. Settings for `count` inputs; stores `count` into *n. Null for count < 1.
  // Rebuilt only when `count` differs from the count of the settings kept last; the
  // previous array is released then. Throws std::bad_alloc with the kept settings intact.
  virtual CEffectSetting* GetSettingsFor(int count, int* n);
  // Slot 16. A template's constant for the host; -1 when the template has none.
  virtual int GetTemplateCode();
  // Slot 17. Inserts input `id` after the node at position `index` and returns the new
  // node's position. A negative index, or one at or past the end, appends. The first
  // input of an empty list lands at 0; nothing is ever inserted in front of the first.
  // Throws std::bad_alloc with the list unchanged.
  virtual int InsertInput(int index, int id);
  // Slot 18. Gives the input at `index` (<= 0: the first) a new node holding `id`.
  // Returns 1, or 0 and changes nothing when the position does not exist. Throws
  // std::bad_alloc with the list unchanged.
  virtual int ReplaceInput(int index, int id);
  // Slot 19. Removes the input at `index` (<= 0: the first). Returns 1, or 0 and
  // changes nothing when the position does not exist.
  virtual int RemoveInput(int index);

  // Host-owned values (zero in a new object); only slots 8-10 change them.
  std::int32_t m_hostA = 0;      // @4
  std::int32_t m_hostB = 0;      // @8
  std::int32_t m_hostValue = 0;  // @12
  // First node of the input list, null when empty. Read-only for hosts.
  InputNode* m_inputs = nullptr;  // @16
};

// The plug-in side of the interface: slots 20 and 21.
class IEffectMultiDLL : public IEffectMulti {
 public:
  // Slot 20. Destroys the effect with the plug-in's own allocator, releasing its
  // settings and input list. The host must not use the object afterwards.
  virtual void Release() = 0;
  // Slot 21. The template's keyframes for the input at `index` of `count` inputs, as a
  // new array whose length is stored into *n (0 and null for no keyframes, also for
  // arguments outside 0 <= index < count where a template has no defined result).
  // The caller owns the array and releases it with delete[].
  virtual KeyFrame* GenerateKeyFrames(int index, int count, int* n) = 0;

 protected:
  ~IEffectMultiDLL() override = default;
};

// The two exports of every plug-in library (plain C linkage, resolved by name).
extern "C" {
// Number of effects in the library; always 1.
using GetNumEffectsFn = int (*)();
// A new, independent effect object owned by the caller until its `Release`.
// Throws std::bad_alloc when memory is exhausted.
using CreateEffectFn = IEffectMultiDLL* (*)();
}
inline constexpr const char kGetNumEffectsSymbol[] = "GetNumEffects";
inline constexpr const char kCreateEffectSymbol[] = "CreateEffect";

// ---- Layout proofs -------------------------------------------------------------------
// offsetof on classes with virtual functions is conditionally supported; g++ and clang
// support it and warn, hence the local pragma.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(KeyFrame) == 64);
static_assert(offsetof(KeyFrame, PosX) == 0 && offsetof(KeyFrame, PosY) == 8);
static_assert(offsetof(KeyFrame, Scale) == 16 && offsetof(KeyFrame, Opacity) == 24);
static_assert(offsetof(KeyFrame, Rotation) == 32 && offsetof(KeyFrame, Time) == 40);
static_assert(offsetof(KeyFrame, Aux0) == 48 && offsetof(KeyFrame, Aux1) == 56);
static_assert(offsetof(KeyFrame, Aux2) == 60);

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit layout of the original libraries, to the byte.
static_assert(sizeof(CEffectSetting) == 536);
static_assert(offsetof(CEffectSetting, m_displayName) == 4);
static_assert(offsetof(CEffectSetting, m_name) == 260);
static_assert(offsetof(CEffectSetting, m_type) == 516);
static_assert(offsetof(CEffectSetting, m_paramA) == 520);
static_assert(offsetof(CEffectSetting, m_paramB) == 524);
static_assert(offsetof(CEffectSetting, m_data) == 528);
static_assert(offsetof(CEffectSetting, m_count) == 532);
static_assert(sizeof(InputNode) == 12 && offsetof(InputNode, prev) == 4 && offsetof(InputNode, next) == 8);
static_assert(offsetof(IEffectMulti, m_hostA) == 4 && offsetof(IEffectMulti, m_hostB) == 8);
static_assert(offsetof(IEffectMulti, m_hostValue) == 12 && offsetof(IEffectMulti, m_inputs) == 16);
#else
// Same order, natural alignment of 8-byte pointers.
static_assert(sizeof(CEffectSetting) == 552);
static_assert(offsetof(CEffectSetting, m_displayName) == 8);
static_assert(offsetof(CEffectSetting, m_name) == 264);
static_assert(offsetof(CEffectSetting, m_type) == 520);
static_assert(offsetof(CEffectSetting, m_paramA) == 524);
static_assert(offsetof(CEffectSetting, m_paramB) == 528);
static_assert(offsetof(CEffectSetting, m_data) == 536);
static_assert(offsetof(CEffectSetting, m_count) == 544);
static_assert(sizeof(InputNode) == 24 && offsetof(InputNode, prev) == 8 && offsetof(InputNode, next) == 16);
static_assert(offsetof(IEffectMulti, m_hostA) == 8 && offsetof(IEffectMulti, m_hostB) == 12);
static_assert(offsetof(IEffectMulti, m_hostValue) == 16 && offsetof(IEffectMulti, m_inputs) == 24);
#endif
#pragma GCC diagnostic pop

#endif  // MONTAGE_EFFECT_H
