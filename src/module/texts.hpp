// Fixed texts of the result classes: the description each constructor builds up and the
// class documentation strings.
#pragma once

namespace orvelio::py::texts {

// What every result starts its description with.
constexpr char kBaseText[] =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tdictionary of parameters with parameter name then value (.parameters)\n"
    "\tspectrum x coordinates (.x)\n"
    "\tminimum and maximum y values (.minY and .maxY)\n";

// Appended by each subclass after the base initialiser has run.
constexpr char kSingleText[] = "\ty data points (.y)\n";

constexpr char kImageText[] =
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the spectrum with returnedObject.spectra[row][column]\n";

constexpr char kImageTRCText[] =
    "\tx mapping coordinates (.mapX)\n"
    "\ty mapping coordinates (.mapY)\n"
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n"
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n"
    "\taccess the trace maps with returnedObject.traces[:,:,label index]\n";

constexpr char kTimeResolvedText[] =
    "\tz (time) axis coordinates (.z)\n"
    "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
    "\taccess the spectrum with returnedObject.spectra[z]\n";

constexpr char kTimeResolvedTRCText[] =
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\t2D numpy array containing trace values (.traces)\n"
    "\taccess the trace with returnedObject.traces[label index]\n";

// The two multi-region texts end without a line feed.
constexpr char kMultiRegionText[] =
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n"
    "\t\ttimestamps of spectrum acquisition array (start_time)\n"
    "\t\t2D array containing spectra in the region (spectra)\n"
    "\t\taccess a spectrum with\n"
    "\t\t\treturnedObject.regions[region index].spectra[row]";

constexpr char kMultiRegionTRCText[] =
    "\ta list containing the names of the trace blocks (.labels)\n"
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n"
    "\t\t2D array containing traces in the region (spectra)\n"
    "\t\taccess the traces for a position with\n"
    "\t\t\treturnedObject.regions[region index].spectra[row]";

// Documentation strings: an empty line, the summary, "Attributes:" and one line per
// attribute (name and type left-justified in a fixed field, then the meaning), closed by
// a line of four blanks. Lines that several classes share are macros, so that the strings
// stay compile-time literals.
#define ORVELIO_BASE_ATTRIBUTES_BEFORE_X \
"        description (str):  Description of the data object attributes\n" \
"        dimension (str):    Datablock dimensions (2D or 3D)\n" \
"        dataType (str):     The datablock type (AB, TR, SSC, etc)\n" \
"        derivative (str):   Datablock derivative (NONE, 1DER, 2DER, NDER)\n" \
"        parameters (dict):  Dictionary of relevant data/sample/instrument parameters\n"
#define ORVELIO_BASE_ATTRIBUTES_AFTER_X \
"        minY (float):       Minimum y value\n" \
"        maxY (float):       Maximum y value\n"
#define ORVELIO_BASE_ATTRIBUTES \
    ORVELIO_BASE_ATTRIBUTES_BEFORE_X \
    "        x (:obj:`ndarray`): 1D numpy array of spectrum x coordinates\n" \
    ORVELIO_BASE_ATTRIBUTES_AFTER_X
#define ORVELIO_MULTIREGION_INTRO \
"    Hyperspectral multiregion point map(s) returned by .getOrvelData() for\n" \
"    multiregion 3D point mapping datablocks.\n" \
"\n" \
"    Maps are not guaranteed to be perfect XY grids, so the spectral\n" \
"    coordinates cannot be given by an origin point and dx/dy values\n" \
"    as in ImageDataReturn.\n"

constexpr char kBaseDoc[] =
    "\n"
    "    Base class for data object returned by .getOrvelData().\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "    ";

constexpr char kSingleDoc[] =
    "\n"
    "    Single spectrum data object returned by .getOrvelData() for 2D datablocks.\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        y (:obj:`ndarray`): 1D numpy array of y values\n"
    "    ";

constexpr char kImageDoc[] =
    "\n"
    "    Hyperspectral data object returned by .getOrvelData() for 3D image datablocks.\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates\n"
    "        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates\n"
    "        spectra (:obj:`ndarray`):   3D numpy array of spectral maps\n"
    "                                    dataObject.spectra[row][column][x]\n"
    "    ";

constexpr char kImageTRCDoc[] =
    "\n"
    "    Map(s) of a single spectral feature/integral/calculation returned by\n"
    "    .getOrvelData() for 3D image TRC datablocks.\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        mapX (:obj:`ndarray`):      1D numpy array of X map coordinates\n"
    "        mapY (:obj:`ndarray`):      1D numpy array of Y map coordinates\n"
    "        labels (:obj:`list` of :obj:`str`):      List of trace block names\n"
    "        traces (:obj:`list` of :obj:`ndarray`):  3D numpy array of trace maps with\n"
    "                                                 same index as labels:\n"
    "                                                 dataObject.traces[:,:,index]\n"
    "    ";

constexpr char kTimeResolvedDoc[] =
    "\n"
    "    Time-resolved spectra data object returned by .getOrvelData() for 3D-TRS datablocks.\n"
    "\n"
    "    Z Axis units are available from dataObject.parameters['ZTX']\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        z (:obj:`ndarray`): 1D numpy array of z (time) axis coordinates\n"
    "        spectra (:obj:`ndarray`):   2D numpy array of spectral time series\n"
    "                                    dataObject.spectra[z][x]\n"
    "    ";

constexpr char kTimeResolvedTRCDoc[] =
    "\n"
    "    Time-resolved trace data object returned by .getOrvelData() for 3D-TRS TRC datablocks.\n"
    "\n"
    "    x axis units are available from dataObject.parameters['DXU']\n"
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES_BEFORE_X
    "        x (:obj:`ndarray`): 1D numpy array of trace x coordinates\n"
    ORVELIO_BASE_ATTRIBUTES_AFTER_X
    "        labels (:obj:`list` of :obj:`str`):      List of trace names\n"
    "        traces (:obj:`list` of :obj:`ndarray`):  2D numpy array of traces with\n"
    "                                                 same index as labels:\n"
    "                                                 dataObject.traces[index]\n"
    "    ";

constexpr char kMultiRegionDoc[] =
    "\n"
    ORVELIO_MULTIREGION_INTRO
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        regions (:obj:`list` of :obj:`Region`):  List of Region objects:\n"
    "                                                 regions[0].title\n"
    "                                                 regions[0].mapX\n"
    "                                                 regions[0].mapY\n"
    "                                                 regions[0].start_time\n"
    "                                                 regions[0].spectra (2D numpy array of spectra in the region)\n"
    "                                                 returnedObject.regions[region index].spectra[row]\n"
    "    ";

constexpr char kRegionDoc[] =
    "\n"
    "    Returned as part of a :class:MultiRegionDataReturn.\n"
    "\n"
    "    Attributes:\n"
    "        title (str):                    description of region\n"
    "        mapX (:obj:`ndarray`):          1D numpy array of X map coordinates\n"
    "        mapY (:obj:`ndarray`):          1D numpy array of Y map coordinates\n"
    "        start_time (:obj:`ndarray`):    timestamps of spectrum acquisition array\n"
    "        spectra (:obj:`ndarray`):       2D numpy array of the spectra in the region:\n"
    "                                        spectra[row]\n"
    "    ";

constexpr char kMultiRegionTRCDoc[] =
    "\n"
    ORVELIO_MULTIREGION_INTRO
    "\n"
    "    Attributes:\n"
    ORVELIO_BASE_ATTRIBUTES
    "        labels (:obj:`list` of :obj:`str`):      List of trace block names\n"
    "        regions (:obj:`list` of :obj:`Region`):  List of Region objects:\n"
    "                                                 regions[0].title\n"
    "                                                 regions[0].mapX\n"
    "                                                 regions[0].mapY\n"
    "                                                 regions[0].spectra (2D numpy array of traces in the region);\n"
    "                                                 as with ImageTRCDataReturn, the index within a row\n"
    "                                                 corresponds to the index in labels\n"
    "    ";

} // namespace orvelio::py::texts
