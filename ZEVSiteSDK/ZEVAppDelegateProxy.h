// The type of the manager's app-delegate proxy field. No operation of the SDK reads or
// writes that field; the type exists so the manager's shape stays as hosts know it.
#pragma once

class ZEVAppDelegateProxy {};
