from ._api import Collection as Collection, Database as Database, connect as connect
from ._errors import (CollectionExistsError as CollectionExistsError,
                      CollectionNotFoundError as CollectionNotFoundError,
                      CorruptDatabaseError as CorruptDatabaseError,
                      DatabaseClosedError as DatabaseClosedError,
                      DatabaseLockedError as DatabaseLockedError, DimensionError as DimensionError,
                      Error as Error, FilterError as FilterError,
                      IdNotFoundError as IdNotFoundError,
                      InvalidArgumentError as InvalidArgumentError, StorageError as StorageError)
from ._native import Kestrum as Kestrum, PyCollection as PyCollection
from ._results import (BatchResult as BatchResult, GetResult as GetResult, Hit as Hit,
                       QueryResult as QueryResult)

__version__: str
__all__: list[str]
