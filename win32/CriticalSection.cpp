#include "win32/CriticalSection.h"

namespace Tarnwick {
namespace Win32 {

CCriticalSection::CCriticalSection() { InitializeCriticalSection(&m_crit); }

CCriticalSection::~CCriticalSection() { DeleteCriticalSection(&m_crit); }

void CCriticalSection::Enter() { EnterCriticalSection(&m_crit); }

void CCriticalSection::Leave() { LeaveCriticalSection(&m_crit); }

bool CCriticalSection::TryEnter() { return TryEnterCriticalSection(&m_crit) == 1; }

}  // namespace Win32
}  // namespace Tarnwick
