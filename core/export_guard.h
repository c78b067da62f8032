// Every export runs its body inside VQ_EXPORT_BEGIN / VQ_EXPORT_END so that no
// exception ever reaches the host. The handler says what the export does
// instead: return a value, or just return (the record is dropped).
//
//   void Export() {
//     VQ_EXPORT_BEGIN
//       ...;
//     VQ_EXPORT_END(return)
//   }
#ifndef VQLOGGER_CORE_EXPORT_GUARD_H_
#define VQLOGGER_CORE_EXPORT_GUARD_H_

#define VQ_EXPORT_BEGIN try {
#define VQ_EXPORT_END(on_exception) \
  }                                 \
  catch (...) {                     \
    on_exception;                   \
  }

#endif  // VQLOGGER_CORE_EXPORT_GUARD_H_
