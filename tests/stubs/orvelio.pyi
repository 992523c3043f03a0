"""
Read Orvel spectroscopy files into numpy arrays.

Call help() for an overview of the functions.
"""




class BaseDataReturn:
    """
    Base class for data object returned by .getOrvelData().

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
    """

    __init__: instancemethod = ...

    __str__: instancemethod = ...

    __repr__: instancemethod = ...

class SingleDataReturn(BaseDataReturn):
    """
    Single spectrum data object returned by .getOrvelData() for 2D datablocks.

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        y (:obj:`ndarray`): 1D numpy array of y values
    """

    __init__: instancemethod = ...

class ImageDataReturn(BaseDataReturn):
    """
    Hyperspectral data object returned by .getOrvelData() for 3D image datablocks.

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates
        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates
        spectra (:obj:`ndarray`):   3D numpy array of spectral maps
                                    dataObject.spectra[row][column][x]
    """

    __init__: instancemethod = ...

class ImageTRCDataReturn(BaseDataReturn):
    """
    Map(s) of a single spectral feature/integral/calculation returned by
    .getOrvelData() for 3D image TRC datablocks.

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates
        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates
        labels (:obj:`list` of :obj:`str`):      List of trace block names
        traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with
                                                 same index as labels:
                                                 dataObject.traces[:,:,index]
    """

    __init__: instancemethod = ...

class TimeResolvedDataReturn(BaseDataReturn):
    """
    Time-resolved spectra data object returned by .getOrvelData() for 3D-TRS datablocks.

    Z Axis units are available from dataObject.parameters['ZTX']

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates
        spectra (:obj:`ndarray`):   2D numpy array of spectral time series
                                    dataObject.spectra[z][x]
    """

    __init__: instancemethod = ...

class TimeResolvedTRCDataReturn(BaseDataReturn):
    """
    Time-resolved trace data object returned by .getOrvelData() for 3D-TRS TRC datablocks.

    x axis units are available from dataObject.parameters['DXU']

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of trace x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        labels (:obj:`list` of :obj:`str`):      List of trace names
        traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with
                                                 same index as labels:
                                                 dataObject.traces[index]
    """

    __init__: instancemethod = ...

class MultiRegionDataReturn(BaseDataReturn):
    """
    Hyperspectral multiregion point map(s) returned by .getOrvelData() for
    multiregion 3D point mapping datablocks.

    Maps are not guaranteed to be perfect XY grids, so the spectral
    coordinates cannot be given by an origin point and dx/dy values
    as in ImageDataReturn.

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        regions (:obj:`list` of :obj:`Region`):  List of Region objects:
                                                 regions[0].title
                                                 regions[0].mapX
                                                 regions[0].mapY
                                                 regions[0].start_time
                                                 regions[0].spectra (2D numpy array of spectra in the region)
                                                 returnedObject.regions[region index].spectra[row]
    """

    __init__: instancemethod = ...

class Region:
    """
    Returned as part of a :class:MultiRegionDataReturn.

    Attributes:
        title (str):                    description of region
        mapX (:obj:`ndarray`):          1D numpy array of X map coordinates
        mapY (:obj:`ndarray`):          1D numpy array of Y map coordinates
        start_time (:obj:`ndarray`):    timestamps of spectrum acquisition array
        spectra (:obj:`ndarray`):       2D numpy array of the spectra in the region:
                                        spectra[row]
    """

    __init__: instancemethod = ...

    __repr__: instancemethod = ...

class MultiRegionTRCDataReturn(BaseDataReturn):
    """
    Hyperspectral multiregion point map(s) returned by .getOrvelData() for
    multiregion 3D point mapping datablocks.

    Maps are not guaranteed to be perfect XY grids, so the spectral
    coordinates cannot be given by an origin point and dx/dy values
    as in ImageDataReturn.

    Attributes:
        description (str):  Description of the data object attributes
        dimension (str):    Datablock dimensions (2D or 3D)
        dataType (str):     The datablock type (AB, TR, SSC, etc)
        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)
        parameters (dict):  Dictionary of relevant data/sample/instrument parameters
        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates
        minY (float):       Minimum y value
        maxY (float):       Maximum y value
        labels (:obj:`list` of :obj:`str`):      List of trace block names
        regions (:obj:`list` of :obj:`Region`):  List of Region objects:
                                                 regions[0].title
                                                 regions[0].mapX
                                                 regions[0].mapY
                                                 regions[0].spectra (2D numpy array of traces in the region);
                                                 as with ImageTRCDataReturn, the index within a row
                                                 corresponds to the index in labels
    """

    __init__: instancemethod = ...

def help():
    """Print a help message containing the available functions."""

def listContents(path):
    """
    This function returns a list of datablocks for a given file.

    Each datablock is identified by blocktype, dimensions and derivative,
    e.g. ('AB', '2D', 'NONE'), and can be passed to getOrvelData().
    """

def isOrvelFile(path):
    """Tests if the given file is an ORVEL data file."""

def decode_string(s, encodings=('ascii', 'utf8', 'latin1')):
    """Attempt to decode a string"""

def getOrvelData(path, datablock):
    """
    Returns the data and data parameters for the specified datablock.

    datablock is a tuple (datablocktype, dimensions, derivative) as returned by
    listContents(), e.g. ('AB', '2D', 'NONE'). The returned object's .description
    tells what it holds.
    """

def getVisImages(path):
    """
    Returns a list with one dictionary per visible image in the file, e.g.

        {'Title': 'Image 1', 'Pos. X': 1200.5, ..., 'image': b'...', 'imgext': 'bmp'}

    'image' holds the picture's bytes and 'imgext' its format ('bmp' or 'jpeg', ...).
    """

paramDict: dict = ...

def OrvelDict():
    """
    Returns a dictionary for translating parameter keys to lower_case_strings.
    """

__test__: dict = {}
