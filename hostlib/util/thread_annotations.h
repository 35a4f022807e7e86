// Clang's thread-safety annotations: which lock guards a member, which
// locks a function needs or takes. The clang build (-Wthread-safety
// -Werror) checks them; other compilers see nothing.
#pragma once

#if defined(__clang__)
#define WZ_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define WZ_THREAD_ANNOTATION(x)
#endif

#define WZ_CAPABILITY(x) WZ_THREAD_ANNOTATION(capability(x))
#define WZ_SCOPED_CAPABILITY WZ_THREAD_ANNOTATION(scoped_lockable)
#define WZ_GUARDED_BY(x) WZ_THREAD_ANNOTATION(guarded_by(x))
#define WZ_PT_GUARDED_BY(x) WZ_THREAD_ANNOTATION(pt_guarded_by(x))
#define WZ_ACQUIRED_BEFORE(...) WZ_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define WZ_ACQUIRED_AFTER(...) WZ_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define WZ_REQUIRES(...) WZ_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define WZ_REQUIRES_SHARED(...) WZ_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define WZ_ACQUIRE(...) WZ_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define WZ_ACQUIRE_SHARED(...) WZ_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define WZ_RELEASE(...) WZ_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define WZ_RELEASE_SHARED(...) WZ_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define WZ_RELEASE_GENERIC(...) WZ_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define WZ_TRY_ACQUIRE(...) WZ_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define WZ_EXCLUDES(...) WZ_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define WZ_ASSERT_CAPABILITY(x) WZ_THREAD_ANNOTATION(assert_capability(x))
#define WZ_RETURN_CAPABILITY(x) WZ_THREAD_ANNOTATION(lock_returned(x))
#define WZ_NO_THREAD_SAFETY_ANALYSIS WZ_THREAD_ANNOTATION(no_thread_safety_analysis)
