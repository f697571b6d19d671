<#
.SYNOPSIS
    Tells whether the agent's Downloads folder is repaired: one line when it is,
    nothing when it is not. Exits 0.

.DESCRIPTION
    A detection script for Intune (Win32 app) and Configuration Manager (script
    detection method) alike: both count exit status 0 with text on standard
    output as "installed", exit status 0 with no output as "not installed", and
    anything written to standard error or another exit status as a failure of
    the script itself. This script therefore writes nothing to standard error
    and exits 0; whatever it cannot read counts as not repaired. The one
    exception: where PowerShell runs it in ConstrainedLanguage mode (AppLocker
    or WDAC script enforcement, for an unsigned copy) it cannot read access
    lists at all, and says so in one line on standard error with exit status
    1, so that the failure shows instead of a silent "not repaired".

    Repaired means all of these hold:
      - Downloads and the two folders above it, below the machine-wide
        application-data folder, exist and none is a reparse point (junction,
        mount point or symbolic link);
      - each of the three is owned by SYSTEM, Administrators or TrustedInstaller;
      - Downloads' explicit entries are the 32-bit program-files folder's
        explicit entries, in the same order, with the same rights, type and
        inheritance flags, compared by SID;
      - no entry that applies to Downloads itself (explicit or inherited, not
        inherit-only) allows any other SID to write, append, delete, delete
        children, change permissions or take ownership, nor gives it a generic
        right that includes one of these.

.PARAMETER Explain
    For a person at a console: prints every check with its result and why.

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks.
#>
[CmdletBinding()]
param(
    [switch]$Explain
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$TrustedOwners = @{
    'S-1-5-18'     = 'SYSTEM'
    'S-1-5-32-544' = 'Administrators'
    'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' = 'TrustedInstaller'
}
# FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_DELETE_CHILD, DELETE, WRITE_DAC,
# WRITE_OWNER, GENERIC_ALL and GENERIC_WRITE.
$UnsafeRights = 0x2 -bor 0x4 -bor 0x40 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x10000000 -bor 0x40000000
$InheritOnly = 2  # PropagationFlags.InheritOnly

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

# The machine-wide application-data folder and the 32-bit program-files folder.
function Get-SpecialFolders {
    [pscustomobject]@{
        AppData      = [Environment]::GetFolderPath('CommonApplicationData')
        ProgramFiles = [Environment]::GetFolderPath('ProgramFilesX86')
    }
}

# A folder as the checks see it: whether it exists as a folder, whether it is
# a reparse point, its owner's SID and its access entries (explicit and
# inherited, in order), each with the SID, Allow or Deny, the rights as a
# number, whether it is inherited, and its inheritance and propagation flags
# as numbers.
function Get-FolderFacts {
    param([string]$Path)
    $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
    if ($null -eq $item -or -not $item.PSIsContainer) {
        return [pscustomobject]@{ Path = $Path; IsFolder = $false; IsReparsePoint = $false; Owner = $null; Entries = @() }
    }
    $acl = Get-Acl -LiteralPath $Path
    $sid = [System.Security.Principal.SecurityIdentifier]
    [pscustomobject]@{
        Path           = $Path
        IsFolder       = $true
        IsReparsePoint = [bool]($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint)
        Owner          = $acl.GetOwner($sid).Value
        Entries        = @($acl.GetAccessRules($true, $true, $sid) | ForEach-Object {
                [pscustomobject]@{
                    Sid         = $_.IdentityReference.Value
                    Type        = "$($_.AccessControlType)"
                    Rights      = [int]$_.FileSystemRights
                    Inherited   = $_.IsInherited
                    Inheritance = [int]$_.InheritanceFlags
                    Propagation = [int]$_.PropagationFlags
                }
            })
    }
}

# ---------------------------------------------------------------------------
# Decisions, over plain data.

# One entry as text: the fields that decide what it grants, and to whom.
function Format-Entry {
    param($Entry)
    '{0} {1} 0x{2:X8} {3} {4}' -f $Entry.Sid, $Entry.Type, $Entry.Rights, $Entry.Inheritance, $Entry.Propagation
}

function New-Check {
    param([string]$Name, [bool]$Passed, [string]$Why)
    [pscustomobject]@{ Check = $Name; Passed = $Passed; Why = $Why }
}

# The checks, given the facts of the three folders below the
# application-data folder (Downloads last) and of the program-files folder.
function Get-Checks {
    param($Way, $ProgramFiles)
    foreach ($folder in $Way) {
        if (-not $folder.IsFolder) {
            New-Check "folder $($folder.Path)" $false 'missing, or not a folder'
            return
        }
        if ($folder.IsReparsePoint) {
            New-Check "folder $($folder.Path)" $false 'a junction, mount point or symbolic link: it may lead anywhere'
            return
        }
        New-Check "folder $($folder.Path)" $true 'a real folder'
    }
    foreach ($folder in $Way) {
        if ($TrustedOwners.ContainsKey([string]$folder.Owner)) {
            New-Check "owner of $($folder.Path)" $true "$($TrustedOwners[$folder.Owner]) ($($folder.Owner))"
        } else {
            New-Check "owner of $($folder.Path)" $false "$($folder.Owner), who may change the list again at any time"
        }
    }

    $downloads = $Way[-1]
    $wanted = @($ProgramFiles.Entries | Where-Object { -not $_.Inherited } | ForEach-Object { Format-Entry $_ })
    $explicit = @($downloads.Entries | Where-Object { -not $_.Inherited } | ForEach-Object { Format-Entry $_ })
    if ($wanted.Count -eq 0) {
        New-Check 'explicit entries' $false "$($ProgramFiles.Path) has no explicit entries to compare with"
    } elseif (($wanted -join "`n") -ceq ($explicit -join "`n")) {
        New-Check 'explicit entries' $true "the $($wanted.Count) entries of $($ProgramFiles.Path), in order"
    } else {
        New-Check 'explicit entries' $false ("differ from those of $($ProgramFiles.Path):`n    wanted: " +
            ($wanted -join "`n            ") + "`n    found:  " + ($explicit -join "`n            "))
    }

    $unsafe = @($downloads.Entries | Where-Object {
            $_.Type -eq 'Allow' -and -not ($_.Propagation -band $InheritOnly) -and
            -not $TrustedOwners.ContainsKey($_.Sid) -and ($_.Rights -band $UnsafeRights)
        } | ForEach-Object { Format-Entry $_ })
    if ($unsafe.Count -eq 0) {
        New-Check 'write access' $true 'only SYSTEM, Administrators and TrustedInstaller may change Downloads'
    } else {
        New-Check 'write access' $false ('other accounts may change Downloads (inherited entries count too):' +
            "`n    " + ($unsafe -join "`n    "))
    }
}

# The lines the script prints: one when repaired, nothing when not; with
# Explain, every check first.
function Format-Verdict {
    param($Checks, [switch]$Explain)
    $repaired = @($Checks).Count -gt 0 -and @($Checks | Where-Object { -not $_.Passed }).Count -eq 0
    if ($Explain) {
        foreach ($check in $Checks) {
            $result = if ($check.Passed) { 'pass' } else { 'FAIL' }
            '{0}  {1}: {2}' -f $result, $check.Check, $check.Why
        }
        if (-not $repaired) {
            'Downloads access list not repaired'
        }
    }
    if ($repaired) {
        'Downloads access list repaired'
    }
}

# Reads the machine and decides; whatever cannot be read is a failed check.
function Get-MachineChecks {
    try {
        $special = Get-SpecialFolders
        if (-not $special.AppData -or -not $special.ProgramFiles) {
            return New-Check 'special folders' $false 'Windows names no application-data or 32-bit program-files folder'
        }
        $path = $special.AppData
        $way = @(foreach ($part in $Suffix) {
                $path = Join-Path $path $part
                Get-FolderFacts $path
            })
        Get-Checks -Way $way -ProgramFiles (Get-FolderFacts $special.ProgramFiles)
    } catch {
        New-Check 'reading the folders' $false $_.Exception.Message
    }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike; nothing but FullLanguage
    # can read access lists.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Test-DownloadsPermissions.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
Format-Verdict -Checks @(Get-MachineChecks) -Explain:$Explain
exit 0
