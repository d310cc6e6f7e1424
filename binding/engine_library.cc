// liborvane.so: the storage, index and engine layers as one shared library,
// loaded once per process by both extension modules. Its code comes whole
// from the static layer libraries; this file only names the target.
